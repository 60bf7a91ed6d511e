#include "app/about_dlg.h"

#include <QFont>
#include <QPushButton>

#include "app/remote_picture.h"
#include "ui_about_dlg.h"

void InstallDialogFontFallback() {
    // The template's font is rarely installed on Linux; without a CJK fallback every
    // Chinese text would render as empty boxes.
    static const bool installed = [] {
        QFont::insertSubstitutions("NSimSun", {"WenQuanYi Zen Hei", "WenQuanYi Zen Hei Sharp",
                                               "Noto Sans CJK SC", "Noto Sans SC"});
        return true;
    }();
    (void)installed;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent), m_ui(std::make_unique<Ui::CAboutDlg>()) {
    InstallDialogFontFallback();
    InitRemoteResources();
    m_ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(470, 110);
    const QIcon icon = LoadProgramIcon();
    setWindowIcon(icon);
    m_ui->iconLabel->setPixmap(icon.pixmap(32, 32));
    connect(m_ui->okButton, &QPushButton::clicked, this, &QDialog::accept);
}

CAboutDlg::~CAboutDlg() = default;
