#include "app/options_row.h"

#include <algorithm>
#include <initializer_list>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QSettings>
#include <QSlider>

#include "engine/option_rules.h"

namespace {

void SetIndex(QComboBox* box, int index)
{
    box->setCurrentIndex(std::clamp(index, 0, box->count() - 1));
}

}  // namespace

OptionsRow::OptionsRow(const Controls& controls, QObject* parent) : QObject(parent), controls_(controls)
{
    const auto changedBy = [this](auto* control, auto signal) {
        connect(control, signal, this, [this] {
            Update();
            emit changed();
        });
    };
    changedBy(controls_.level, &QSlider::valueChanged);
    changedBy(controls_.aiLevel, &QSlider::valueChanged);
    changedBy(controls_.targetLook, &QComboBox::currentIndexChanged);
    changedBy(controls_.encoder, &QComboBox::currentIndexChanged);
    changedBy(controls_.lossless, &QCheckBox::toggled);
    changedBy(controls_.strip, &QCheckBox::toggled);
    if (controls_.keepDates != nullptr)
        changedBy(controls_.keepDates, &QCheckBox::toggled);
    Update();
}

Tuning OptionsRow::Value() const
{
    Tuning tuning;
    tuning.level = controls_.level->value();
    tuning.strength = controls_.aiLevel->value();
    tuning.encoder = controls_.encoder->currentIndex();
    tuning.targetLook = controls_.targetLook->currentIndex();
    tuning.lossless = controls_.lossless->isChecked();
    tuning.strip = controls_.strip->isChecked();
    tuning.keepDates = controls_.keepDates != nullptr ? controls_.keepDates->isChecked() : keepDates_;
    return tuning;
}

void OptionsRow::SetValue(const Tuning& tuning)
{
    const QSignalBlocker quiet(this);
    controls_.level->setValue(tuning.level);
    controls_.aiLevel->setValue(tuning.strength);
    SetIndex(controls_.encoder, tuning.encoder);
    controls_.lossless->setChecked(tuning.lossless);
    SetIndex(controls_.targetLook, tuning.targetLook);
    controls_.strip->setChecked(tuning.strip);
    keepDates_ = tuning.keepDates;
    if (controls_.keepDates != nullptr)
        controls_.keepDates->setChecked(tuning.keepDates);
    Update();
}

void OptionsRow::Save(QSettings& settings, const QString& prefix) const
{
    const Tuning tuning = Value();
    settings.setValue(prefix + QStringLiteral("level"), tuning.level);
    settings.setValue(prefix + QStringLiteral("aiLevel"), tuning.strength);
    settings.setValue(prefix + QStringLiteral("encoder"), tuning.encoder);
    settings.setValue(prefix + QStringLiteral("targetLook"), tuning.targetLook);
    settings.setValue(prefix + QStringLiteral("lossless"), tuning.lossless);
    settings.setValue(prefix + QStringLiteral("strip"), tuning.strip);
    settings.setValue(prefix + QStringLiteral("keepDates"), tuning.keepDates);
}

void OptionsRow::Restore(const QSettings& settings, const QString& prefix)
{
    Tuning tuning = Value();
    tuning.level = settings.value(prefix + QStringLiteral("level"), tuning.level).toInt();
    tuning.strength = settings.value(prefix + QStringLiteral("aiLevel"), tuning.strength).toInt();
    tuning.encoder = settings.value(prefix + QStringLiteral("encoder"), tuning.encoder).toInt();
    tuning.targetLook = settings.value(prefix + QStringLiteral("targetLook"), tuning.targetLook).toInt();
    tuning.lossless = settings.value(prefix + QStringLiteral("lossless"), tuning.lossless).toBool();
    tuning.strip = settings.value(prefix + QStringLiteral("strip"), tuning.strip).toBool();
    tuning.keepDates = settings.value(prefix + QStringLiteral("keepDates"), tuning.keepDates).toBool();
    if (tuning.lossless)
        tuning.targetLook = 0;  // the controls never allow both
    SetValue(tuning);
}

void OptionsRow::SetLocked(bool locked)
{
    locked_ = locked;
    Update();
}

void OptionsRow::Update()
{
    controls_.levelText->setText(LevelText(controls_.level->value()));
    controls_.aiLevelText->setText(AiLevelText(controls_.aiLevel->value()));
    const tramblix::OptionRules rules = tramblix::RulesFor(EngineOptions());
    const auto enable = [this](tramblix::OverriddenBy by, std::initializer_list<QWidget*> widgets) {
        for (QWidget* widget : widgets)
            if (widget != nullptr)
                widget->setEnabled(!locked_ && by == tramblix::OverriddenBy::Nothing);
    };
    enable(rules.level, {controls_.level, controls_.levelText});
    enable(rules.aiLevel, {controls_.aiLevel, controls_.aiLevelText});
    enable(rules.target, {controls_.targetLook, controls_.targetLookLabel});
    enable(rules.encoder, {controls_.encoder});
    enable(rules.lossless, {controls_.lossless});
    enable(tramblix::OverriddenBy::Nothing, {controls_.strip, controls_.keepDates});
}
