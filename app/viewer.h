#pragma once

#include <QDialog>

// The full-size viewer: made hidden at start-up and reused for every viewing.
// For now only the window itself; showing pictures comes with the "Single Image" tab.
class TGIFPlayerForm : public QDialog {
    Q_OBJECT

public:
    explicit TGIFPlayerForm(QWidget* parent = nullptr);
};
