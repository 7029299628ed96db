// The about box: a raised panel with the icon on the left and the product,
// author, licence and web-site lines beside it, and one default OK button.
#include "gui/about_box.h"

namespace harvox {

TAboutDlg::~TAboutDlg() {
  Close();
  g_clear_object(&icon_);
}

bool TAboutDlg::LoadIcon(const std::string& path) {
  g_clear_object(&icon_);
  GError* err = nullptr;
  icon_ = gdk_pixbuf_new_from_file_at_size(path.c_str(), 48, 48, &err);
  g_clear_error(&err);
  return icon_ != nullptr;
}

void TAboutDlg::Execute() {
  if (!box_) box_ = Build();
  gtk_window_present(GTK_WINDOW(box_));
}

void TAboutDlg::Close() {
  if (box_) gtk_widget_destroy(box_);  // OnDestroy clears box_
}

namespace {

GtkWidget* Line(const std::string& text) {
  GtkWidget* label = gtk_label_new(text.c_str());
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_max_width_chars(GTK_LABEL(label), 32);
  return label;
}

}  // namespace

GtkWidget* TAboutDlg::Build() {
  GtkWidget* box = gtk_dialog_new();
  gtk_window_set_title(GTK_WINDOW(box), Title.c_str());
  gtk_window_set_modal(GTK_WINDOW(box), TRUE);
  gtk_window_set_resizable(GTK_WINDOW(box), FALSE);
  gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
  gtk_window_set_default_size(GTK_WINDOW(box), 296, 182);

  GtkWidget* panel = gtk_frame_new(nullptr);
  gtk_frame_set_shadow_type(GTK_FRAME(panel), GTK_SHADOW_OUT);
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  gtk_container_set_border_width(GTK_CONTAINER(row), 8);
  GtkWidget* image = icon_ ? gtk_image_new_from_pixbuf(icon_) : gtk_image_new();
  gtk_widget_set_size_request(image, 50, 50);
  gtk_widget_set_valign(image, GTK_ALIGN_START);
  GtkWidget* lines = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  for (const std::string* text : {&ProductName, &Author, &Programmer, &WebSite}) {
    gtk_box_pack_start(GTK_BOX(lines), Line(*text), FALSE, FALSE, 0);
  }
  gtk_box_pack_start(GTK_BOX(row), image, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(row), lines, TRUE, TRUE, 0);
  gtk_container_add(GTK_CONTAINER(panel), row);
  GtkWidget* area = gtk_dialog_get_content_area(GTK_DIALOG(box));
  gtk_container_set_border_width(GTK_CONTAINER(area), 8);
  gtk_box_pack_start(GTK_BOX(area), panel, TRUE, TRUE, 0);

  GtkWidget* ok = gtk_dialog_add_button(GTK_DIALOG(box), "OK", GTK_RESPONSE_OK);
  gtk_widget_set_halign(gtk_widget_get_parent(ok), GTK_ALIGN_CENTER);
  gtk_dialog_set_default_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
  g_signal_connect(box, "response", G_CALLBACK(OnResponse), this);
  g_signal_connect(box, "destroy", G_CALLBACK(OnDestroy), this);
  gtk_widget_show_all(box);
  gtk_widget_grab_focus(ok);
  return box;
}

// Whatever closed it (OK, the close button, Escape), the box goes.
void TAboutDlg::OnResponse(GtkDialog* dialog, gint, gpointer) {
  gtk_widget_destroy(GTK_WIDGET(dialog));
}

void TAboutDlg::OnDestroy(GtkWidget*, gpointer self) { static_cast<TAboutDlg*>(self)->box_ = nullptr; }

}  // namespace harvox
