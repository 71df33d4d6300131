#include "app/splash_screen.h"

#include <QGuiApplication>
#include <QScreen>

#include "app/appearance.h"

namespace {

constexpr int kTickMs = 100;
constexpr std::int32_t kShownMs = 3000;
constexpr int kBarStep = 3;

}  // namespace

TSplashScreen::TSplashScreen(QWidget* parent) : QDialog(parent)
{
    setupUi(this);
    setFont(WindowFont());
    setWindowFlags(Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setFixedSize(size());
    // Only the main window's closing ends the program.
    setAttribute(Qt::WA_QuitOnClose, false);

    Image1->setPixmap(QPixmap::fromImage(SplashPicture()));

    // Centred on the screen before there is a main window; Qt's own centring would allow for
    // a title bar and frame that the splash does not have. (An About window, owned by the main
    // window, is centred over it by Qt.)
    if (parent == nullptr)
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());

    connect(&Timer1, &QTimer::timeout, this, &TSplashScreen::Timer1Timer);
    Timer1.start(kTickMs);
}

void TSplashScreen::Timer1Timer()
{
    ElapsedMs += Timer1.interval();
    if (ElapsedMs > kShownMs) {
        Timer1.stop();
        accept();  // not close(): a close goes through reject(), which the splash ignores
        return;
    }
    ProgressBar1->setValue(ProgressBar1->value() + kBarStep);
}

void TSplashScreen::reject()
{
    if (about_)
        QDialog::reject();
}

void TSplashScreen::TurnIntoAboutWindow()
{
    about_ = true;
    Timer1.stop();
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint);
    ProgressBar1->hide();
}
