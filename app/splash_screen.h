#pragma once

#include <cstdint>

#include <QDialog>
#include <QTimer>

#include "ui_splash_screen.h"

// The product picture with a progress bar: a frameless splash that closes itself about 3.1 s
// after it was made, or, turned into an About window, a framed window that stays until closed.
class TSplashScreen : public QDialog, private Ui::TSplashScreen {
    Q_OBJECT

public:
    explicit TSplashScreen(QWidget* parent = nullptr);

    // One tick of Timer1: thirty ticks carry the bar to 90, the 31st closes the window.
    void Timer1Timer();

    // Stops the countdown, hides the bar and gives the window an ordinary fixed-size frame.
    void TurnIntoAboutWindow();

    // The start-up splash goes only on its last tick: Esc and the window manager's close are
    // ignored. An About window closes as any dialog does.
    void reject() override;

    std::int32_t elapsedMs() const { return ElapsedMs; }
    const QTimer& timer() const { return Timer1; }

private:
    QTimer Timer1;
    std::int32_t ElapsedMs = 0;
    bool about_ = false;
};
