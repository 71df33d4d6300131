// The Help menu of the main window: the user guide, the maker's web pages and the About window.

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QUrl>

#include "app/main_window.h"
#include "app/splash_screen.h"
#include "app/texts.h"

namespace {

// The maker's pages; example.org until the project has pages of its own.
constexpr char kStoreAddress[] = "https://www.example.org/";
constexpr char kOnlineTrambixsAddress[] = "https://www.example.org/online-trambixs/";

}  // namespace

QString UserGuidePath()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("JT3UserGuide.html"));
}

// The desktop's handler shows the guide or the page; when none can be started the user hears
// why nothing opened, and where to look instead.
void TMainTramblix::Manual1Click()
{
    const QString guide = UserGuidePath();
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(guide)))
        dialogs_.Message(texts::kNoBrowser.arg(QDir::toNativeSeparators(guide)), texts::kNoBrowserCaption);
}

void TMainTramblix::MoravelStore1Click()
{
    if (!QDesktopServices::openUrl(QUrl(QString::fromLatin1(kStoreAddress))))
        dialogs_.Message(texts::kNoBrowser.arg(QString::fromLatin1(kStoreAddress)), texts::kNoBrowserCaption);
}

void TMainTramblix::OnlineTrambixs1Click()
{
    if (!QDesktopServices::openUrl(QUrl(QString::fromLatin1(kOnlineTrambixsAddress))))
        dialogs_.Message(texts::kNoBrowser.arg(QString::fromLatin1(kOnlineTrambixsAddress)), texts::kNoBrowserCaption);
}

// Each click opens one more About window; each is freed when it is closed, and any still open go
// with the main window.
void TMainTramblix::About1Click()
{
    auto* about = new TSplashScreen(this);
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->TurnIntoAboutWindow();
    about->show();
}
