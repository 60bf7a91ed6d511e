// The baseline for the window's start and memory: a bare Qt dialog of the main
// dialog's size with the same widgets (its own .ui) and the remote's picture in a
// plain label, and nothing of the program behind it. bench_e2e starts it like the
// real program and ends it with SIGTERM.
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPixmap>

#include "ui_main_dlg.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QDialog dialog;
    Ui::CMainDlg ui;
    ui.setupUi(&dialog);
    dialog.setFixedSize(794, 536);
    QLabel picture(&dialog);
    picture.setPixmap(QPixmap(":/bitmaps/132"));
    picture.move(0, 0);
    picture.lower();
    dialog.show();
    return application.exec();
}
