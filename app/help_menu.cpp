// The Help menu of the main window: the user guide, the maker's web pages and the About window.

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QUrl>

#include "app/main_window.h"
#include "app/splash_screen.h"

namespace {

// The maker's pages; example.org until the project has pages of its own.
constexpr char kStoreAddress[] = "https://www.example.org/";
constexpr char kOnlineTrambixsAddress[] = "https://www.example.org/online-trambixs/";

}  // namespace

QString UserGuidePath()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("JT3UserGuide.html"));
}

// The desktop's handler shows the guide; a missing guide or handler is not worth a message.
void TMainTramblix::Manual1Click()
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(UserGuidePath()));
}

void TMainTramblix::MoravelStore1Click()
{
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(kStoreAddress)));
}

void TMainTramblix::OnlineTrambixs1Click()
{
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(kOnlineTrambixsAddress)));
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
