#pragma once

#include <QObject>
#include <QString>

#include "app/tuning.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QSettings;
class QSlider;

// The level, AI level, target look, encoder and switches of one tab or of the compare window,
// handled as one: read and set as a `Tuning`, stored under a settings prefix, the controls that
// the other choices leave without effect greyed by the engine's rules (engine/option_rules.h),
// all of them locked while a run goes. The controls stay where their form puts them.
class OptionsRow : public QObject {
    Q_OBJECT

public:
    struct Controls {
        QSlider* level = nullptr;
        QLabel* levelText = nullptr;
        QSlider* aiLevel = nullptr;
        QLabel* aiLevelText = nullptr;
        QComboBox* targetLook = nullptr;
        QLabel* targetLookLabel = nullptr;  // none where the box names itself
        QComboBox* encoder = nullptr;
        QCheckBox* lossless = nullptr;
        QCheckBox* strip = nullptr;
        QCheckBox* keepDates = nullptr;  // none where it is not shown: the value is carried
    };

    OptionsRow(const Controls& controls, QObject* parent);

    Tuning Value() const;
    // The controls take `tuning` without a changed(); what no control shows is carried as it is.
    void SetValue(const Tuning& tuning);

    // Under `prefix` ("single/"): level, aiLevel, encoder, targetLook, lossless, strip, keepDates.
    // A key not stored leaves its control as it is.
    void Save(QSettings& settings, const QString& prefix) const;
    void Restore(const QSettings& settings, const QString& prefix);

    // A run's settings stay as they were when it started.
    void SetLocked(bool locked);

signals:
    void changed();

private:
    void Update();

    Controls controls_;
    Tuning carried_;  // the options no control shows
    bool locked_ = false;
};
