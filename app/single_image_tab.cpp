// Handlers of the "Single Image" tab and its two preview panes.

#include "app/main_window.h"

void TMainTramblix::SpeedButton3Click() {}

void TMainTramblix::SpeedButton4Click() {}

void TMainTramblix::RunSingleImageBtnClick() {}

void TMainTramblix::InputSingleImageEditChange() {}

void TMainTramblix::InputSingleImageEditExit() {}

void TMainTramblix::InputSingleImageEditMouseUp() {}

void TMainTramblix::OutputSingleImageEditChange() {}

void TMainTramblix::OutputSingleImageEditExit() {}

void TMainTramblix::OutputSingleImageEditMouseUp() {}

void TMainTramblix::OutputImagePreviewBoxClick() {}

void TMainTramblix::InputStretchClick() {}

void TMainTramblix::OutputStretchClick() {}

// A click on a pane does what its "View Full Size" button does.
void TMainTramblix::InputImageClick()
{
    Button1Click();
}

void TMainTramblix::OutputImageClick()
{
    Button2Click();
}

void TMainTramblix::Button1Click() {}

void TMainTramblix::Button2Click() {}

void TMainTramblix::UpdateInputPreview() {}

void TMainTramblix::UpdateOutputPreview() {}
