#pragma once

// Every message box of the window layer goes through here, so tests can answer the
// boxes without a modal loop: a hook, when installed, replaces the box.

#include <functional>

#include <QString>

class QWidget;

// The program's name: the caption of a box that has none of its own, whatever the
// executable is called.
inline constexpr char kProgramName[] = "Quillon";

enum class BoxIcon { None, Error, Information };
enum class BoxButtons { Ok, YesNo };
enum class BoxAnswer { Ok, Yes, No };

// Shows a modal box (owner may be null) and returns the button the user chose;
// closing the box counts as No for Yes/No boxes.
BoxAnswer ShowMessageBox(QWidget* owner, const QString& text, const QString& caption, BoxIcon icon,
                         BoxButtons buttons = BoxButtons::Ok);

using MessageBoxHook = std::function<BoxAnswer(const QString& text, const QString& caption,
                                               BoxIcon icon, BoxButtons buttons)>;
// Replaces every box with `hook` until it is reset with an empty function. Window
// thread only.
void SetMessageBoxHook(MessageBoxHook hook);
