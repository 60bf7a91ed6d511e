#pragma once

// The About box: program icon, name and version, and an OK button.

#include <QDialog>
#include <memory>

namespace Ui {
class CAboutDlg;
}

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    ~CAboutDlg() override;

private:
    std::unique_ptr<Ui::CAboutDlg> m_ui;
};

// Maps the template font onto an installed CJK font. Called by every dialog.
void InstallDialogFontFallback();
