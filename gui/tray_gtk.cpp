// The tray with GTK 3 and ayatana-appindicator3.  The indicator is a
// StatusNotifierItem; where no such host runs the library falls back to an
// XEmbed icon by itself.  The icon images are built into the program and
// written to a private folder at start, since a StatusNotifierItem names its
// icon rather than sending pixels.  Every GTK callback catches what fails in
// it and writes one log line, since nothing may unwind through C.
#include <gdk/gdkx.h>
#include <libayatana-appindicator/app-indicator.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <stdexcept>
#include <string>

#include "gui/about_box.h"
#include "gui/glib_loop.h"
#include "gui/tray.h"
#include "util/files.h"
#include "util/log.h"

namespace harvox {

extern const unsigned char kIconTnBlue[];
extern const unsigned long kIconTnBlueSize;
extern const unsigned char kIconTnGreen[];
extern const unsigned long kIconTnGreenSize;

constexpr const char* kProduct = "Harvox 1.20.00";
constexpr const char* kBlue = "harvox-tnblue";
constexpr const char* kGreen = "harvox-tngreen";

struct TTray::Impl {
  explicit Impl(asio::io_context& io) : io(io), loop(io) {}
  ~Impl();
  asio::io_context& io;
  GlibLoop loop;
  TLog* log = nullptr;
  std::function<void()> shutdown;
  AppIndicator* indicator = nullptr;
  GtkWidget* menu = nullptr;
  GtkWidget* question = nullptr;
  GtkWidget* error_box = nullptr;
  TAboutDlg about;
  std::string icon_dir;
  std::string engine;  // address:port, for the tool tip
  bool link_up = false;

  std::string Tip() const { return "Harvox - engine " + engine + (link_up ? " up" : " down"); }
  void ShowLink();

  void Failed(const char* module) {
    if (log) log->Write(1, std::string("{Tray} Exception on module ") + module);
  }
  void Build();
  bool WriteIcons();
  void BuildMenu();
  void AboutClick();
  void HelpClick();
  void ExitClick();
  void Remove();
  void ErrorBox(const char* title, const std::string& text);
};

}  // namespace harvox

// An indicator whose XEmbed fallback ignores the left click: only the right
// button opens the menu.  Under a StatusNotifierItem host the host decides.
struct HarvoxIndicator {
  AppIndicator parent;
  GtkStatusIcon* fallback_icon;  // while the XEmbed fallback shows; not owned
};
struct HarvoxIndicatorClass {
  AppIndicatorClass parent_class;
};
G_DEFINE_TYPE(HarvoxIndicator, harvox_indicator, APP_INDICATOR_TYPE)

static GtkStatusIcon* harvox_indicator_fallback(AppIndicator* self) {
  // A status icon needs X11; elsewhere it would only print criticals.
  if (!GDK_IS_X11_DISPLAY(gdk_display_get_default())) return nullptr;
  GtkStatusIcon* icon = APP_INDICATOR_CLASS(harvox_indicator_parent_class)->fallback(self);
  reinterpret_cast<HarvoxIndicator*>(self)->fallback_icon = icon;
  if (icon) {
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS  // the fallback is a GtkStatusIcon by nature
    gtk_status_icon_set_tooltip_text(icon, app_indicator_get_title(self));
    G_GNUC_END_IGNORE_DEPRECATIONS
    // The match needs the data as well: by signal id alone it matches nothing.
    g_signal_handlers_disconnect_matched(icon, GSignalMatchType(G_SIGNAL_MATCH_ID | G_SIGNAL_MATCH_DATA),
                                         g_signal_lookup("activate", GTK_TYPE_STATUS_ICON), 0,
                                         nullptr, nullptr, self);
  }
  return icon;
}

// A StatusNotifierItem host appeared: the library takes the fallback away.
static void harvox_indicator_unfallback(AppIndicator* self, GtkStatusIcon* icon) {
  reinterpret_cast<HarvoxIndicator*>(self)->fallback_icon = nullptr;
  APP_INDICATOR_CLASS(harvox_indicator_parent_class)->unfallback(self, icon);
}

static void harvox_indicator_class_init(HarvoxIndicatorClass* klass) {
  APP_INDICATOR_CLASS(klass)->fallback = harvox_indicator_fallback;
  APP_INDICATOR_CLASS(klass)->unfallback = harvox_indicator_unfallback;
}

static void harvox_indicator_init(HarvoxIndicator* self) { self->fallback_icon = nullptr; }

namespace harvox {

TTray::Impl::~Impl() {
  Remove();
  about.Close();
  if (!icon_dir.empty()) {
    std::remove((icon_dir + "/" + kBlue + ".png").c_str());
    std::remove((icon_dir + "/" + kGreen + ".png").c_str());
    rmdir(icon_dir.c_str());
  }
}

bool TTray::Impl::WriteIcons() {
  gchar* dir = g_dir_make_tmp("harvox-XXXXXX", nullptr);
  if (!dir) return false;
  icon_dir = dir;
  g_free(dir);
  const auto write = [&](const char* name, const unsigned char* data, unsigned long size) {
    std::ofstream out(icon_dir + "/" + name + ".png", std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
  };
  return write(kBlue, kIconTnBlue, kIconTnBlueSize) && write(kGreen, kIconTnGreen, kIconTnGreenSize);
}

// The menu holds a reference of ours: the indicator lets its own go when it
// is cleared, which would otherwise free the menu before Remove() destroys it.
void TTray::Impl::BuildMenu() {
  menu = GTK_WIDGET(g_object_ref_sink(gtk_menu_new()));
  static const struct {
    const char* label;
    void (*click)(GtkMenuItem*, gpointer);
  } kEntries[] = {
      {"About", [](GtkMenuItem*, gpointer self) { static_cast<Impl*>(self)->AboutClick(); }},
      {"Help", [](GtkMenuItem*, gpointer self) { static_cast<Impl*>(self)->HelpClick(); }},
      {"Shutdown", [](GtkMenuItem*, gpointer self) { static_cast<Impl*>(self)->ExitClick(); }},
  };
  for (const auto& e : kEntries) {
    GtkWidget* item = gtk_menu_item_new_with_label(e.label);
    g_signal_connect(item, "activate", G_CALLBACK(e.click), this);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
  }
  gtk_widget_show_all(menu);
}

void TTray::Impl::AboutClick() {
  try {
    about.Execute();
  } catch (...) {
    Failed("AboutClick");
  }
}

// The help page is the manual page as HTML: the working directory's copy,
// else the one installed with the examples, else the working directory's
// name all the same (the browser then says it is missing).  The user's
// browser is the default application for HTML.
static std::string HelpPage() {
  const std::string here = FindFile(WorkingDir() + "ZUNDRA.HTM");
  if (FileExists(here) || !FileExists(HARVOX_HELP_PAGE)) return here;
  return HARVOX_HELP_PAGE;
}

void TTray::Impl::HelpClick() {
  try {
    gchar* uri = g_filename_to_uri(HelpPage().c_str(), nullptr, nullptr);
    if (!uri) throw std::runtime_error("no URI");
    GError* err = nullptr;
    gboolean opened = FALSE;
    if (GAppInfo* browser = g_app_info_get_default_for_type("text/html", FALSE)) {
      GList uris = {uri, nullptr, nullptr};
      opened = g_app_info_launch_uris(browser, &uris, nullptr, &err);
      g_object_unref(browser);
    } else {
      opened = g_app_info_launch_default_for_uri(uri, nullptr, &err);
    }
    if (!opened && log) {
      log->Write(1, std::string("{Tray} Help page not opened: ") + (err ? err->message : "no browser"));
    }
    g_clear_error(&err);
    g_free(uri);
  } catch (...) {
    Failed("HelpClick");
  }
}

void TTray::Impl::ExitClick() {
  try {
    if (question) {
      gtk_window_present(GTK_WINDOW(question));
      return;
    }
    question = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING,
                                      GTK_BUTTONS_OK_CANCEL, "Do you really want to exit?");
    gtk_window_set_title(GTK_WINDOW(question), "Warning!");
    gtk_dialog_set_default_response(GTK_DIALOG(question), GTK_RESPONSE_OK);
    gtk_window_set_position(GTK_WINDOW(question), GTK_WIN_POS_CENTER);
    g_signal_connect(question, "response", G_CALLBACK(+[](GtkDialog* d, gint response, gpointer self) {
                       auto* impl = static_cast<Impl*>(self);
                       try {
                         impl->question = nullptr;
                         gtk_widget_destroy(GTK_WIDGET(d));
                         if (response == GTK_RESPONSE_OK && impl->shutdown) impl->shutdown();
                       } catch (...) {
                         impl->Failed("ExitClick");
                       }
                     }), this);
    gtk_widget_show_all(question);
  } catch (...) {
    Failed("ExitClick");
  }
}

void TTray::Impl::Remove() {
  if (question) gtk_widget_destroy(question);
  question = nullptr;
  about.Close();
  g_clear_object(&indicator);  // unregisters the item or hides the fallback icon
  if (menu) gtk_widget_destroy(menu);
  g_clear_object(&menu);
  if (GdkDisplay* d = gdk_display_get_default()) gdk_display_flush(d);
}

TTray::TTray(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TTray::~TTray() = default;

std::unique_ptr<TTray> TTray::Open(asio::io_context& loop) {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((!x11 || !*x11) && (!wayland || !*wayland)) {
    std::fprintf(stderr, "harvox: --tray: no display (DISPLAY and WAYLAND_DISPLAY unset); running without the tray icon\n");
    return nullptr;
  }
  if (!gtk_init_check(nullptr, nullptr)) {
    std::fprintf(stderr, "harvox: --tray: cannot open the display; running without the tray icon\n");
    return nullptr;
  }
  return std::unique_ptr<TTray>(new TTray(std::make_unique<Impl>(loop)));
}

void TTray::ConfigError(const std::string& text) { impl_->ErrorBox("Configuration Error!", text); }

void TTray::StartupError(const std::string& text) { impl_->ErrorBox("Start-up Error!", text); }

// Shows the box and runs the loop until it is answered (or a signal stops it).
void TTray::Impl::ErrorBox(const char* title, const std::string& text) {
  Impl& t = *this;
  t.error_box = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
                                       "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(t.error_box), title);
  gtk_window_set_position(GTK_WINDOW(t.error_box), GTK_WIN_POS_CENTER);
  g_signal_connect(t.error_box, "response", G_CALLBACK(+[](GtkDialog* d, gint, gpointer self) {
                     auto* impl = static_cast<Impl*>(self);
                     impl->error_box = nullptr;
                     gtk_widget_destroy(GTK_WIDGET(d));
                     impl->io.stop();
                   }), &t);
  gtk_widget_show_all(t.error_box);
  t.loop.Run();
  if (t.error_box) gtk_widget_destroy(t.error_box);
  t.error_box = nullptr;
}

void TTray::Show(TLog* log, const std::string& engine, std::function<void()> shutdown) {
  Impl& t = *impl_;
  t.log = log;
  t.engine = engine;
  t.shutdown = std::move(shutdown);
  try {
    t.Build();
  } catch (...) {
    t.Failed("Show");
  }
}

void TTray::Impl::Build() {
  Impl& t = *this;
  t.about.Title = "Harvox for the AGWPE";
  t.about.ProductName = kProduct;
  t.about.Author = "The Harvox developers";
  t.about.Programmer = "Free software under the GNU General Public License, version 3 or later (GPL-3.0-or-later)";
  // A missing or unreadable icon leaves the box without one.
  if (t.about.LoadIcon(FindFile(WorkingDir() + "HARVOX.ICO"))) gtk_window_set_default_icon(t.about.Icon());
  if (!t.WriteIcons() && t.log) t.log->Write(1, "{Tray} Icon images not written to " + t.icon_dir);
  g_set_application_name(kProduct);
  t.BuildMenu();
  t.indicator = APP_INDICATOR(g_object_new(harvox_indicator_get_type(), "id", "harvox", "category",
                                           "Communications", "icon-theme-path", t.icon_dir.c_str(),
                                           "icon-name", kBlue, nullptr));
  app_indicator_set_title(t.indicator, t.Tip().c_str());  // hosts show it as the tool tip
  app_indicator_set_menu(t.indicator, GTK_MENU(t.menu));
  app_indicator_set_status(t.indicator, APP_INDICATOR_STATUS_ACTIVE);
}

// The colour and the tool tip follow the link; the fallback icon takes its
// tip from the title only when it is made, so it is told as well.
void TTray::Impl::ShowLink() {
  if (!indicator) return;
  // No description: some hosts append it to the tool tip.
  app_indicator_set_icon_full(indicator, link_up ? kGreen : kBlue, nullptr);
  const std::string tip = Tip();
  app_indicator_set_title(indicator, tip.c_str());
  if (GtkStatusIcon* icon = reinterpret_cast<HarvoxIndicator*>(indicator)->fallback_icon) {
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_status_icon_set_tooltip_text(icon, tip.c_str());
    G_GNUC_END_IGNORE_DEPRECATIONS
  }
}

void TTray::SetLinkUp(bool up) {
  try {
    impl_->link_up = up;
    impl_->ShowLink();
  } catch (...) {
    impl_->Failed("SetLinkUp");
  }
}

void TTray::Remove() { impl_->Remove(); }

void TTray::Run() { impl_->loop.Run(); }

}  // namespace harvox
