// The about component: holds the texts and the icon of the about box and
// shows the box on demand.  The box is modal but answered by a callback; it
// closes with OK and with the window's close button, and opening it again
// while it is up only raises it.
//
// Re-entrancy: main thread only.
#pragma once

#include <string>

#include <gtk/gtk.h>

namespace harvox {

class TAboutDlg {
 public:
  TAboutDlg() = default;
  ~TAboutDlg();
  TAboutDlg(const TAboutDlg&) = delete;
  TAboutDlg& operator=(const TAboutDlg&) = delete;

  std::string Title;
  std::string ProductName;
  std::string Author;
  std::string Programmer;  // the licence line
  std::string WebSite;

  // Loads the icon (48 x 48); false leaves the box without one.
  bool LoadIcon(const std::string& path);
  GdkPixbuf* Icon() const { return icon_; }

  void Execute();
  void Close();
  bool Showing() const { return box_ != nullptr; }

 private:
  GtkWidget* Build();
  static void OnResponse(GtkDialog* dialog, gint response, gpointer self);
  static void OnDestroy(GtkWidget* widget, gpointer self);

  GdkPixbuf* icon_ = nullptr;
  GtkWidget* box_ = nullptr;
};

}  // namespace harvox
