#include "app/viewer.h"

TGIFPlayerForm::TGIFPlayerForm(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("GIFPlayerForm"));
    setWindowTitle(QStringLiteral("JPEG Preview"));
    setAttribute(Qt::WA_QuitOnClose, false);
}
