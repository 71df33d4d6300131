// Handlers of the "Process Directory" tab.

#include "app/main_window.h"

void TMainTramblix::SpeedButton1Click() {}

void TMainTramblix::SpeedButton2Click() {}

void TMainTramblix::InputEditExit() {}

void TMainTramblix::OutputEditExit() {}

void TMainTramblix::RunBtnClick() {}

void TMainTramblix::OutputLogBoxClick() {}
