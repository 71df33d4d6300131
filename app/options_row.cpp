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
    Tuning tuning = carried_;
    tuning.level = controls_.level->value();
    tuning.strength = controls_.aiLevel->value();
    tramblix::EngineOptions& engine = tuning.engine;
    engine.encoder =
        controls_.encoder->currentIndex() == 1 ? tramblix::Encoder::Efficient : tramblix::Encoder::Standard;
    engine.lossless = controls_.lossless->isChecked();
    engine.targetDistance = engine.lossless ? 0.0 : TargetLookDistance(controls_.targetLook->currentIndex());
    engine.stripMetadata = controls_.strip->isChecked();
    if (controls_.keepDates != nullptr)
        engine.keepFileDates = controls_.keepDates->isChecked();
    return tuning;
}

void OptionsRow::SetValue(const Tuning& tuning)
{
    const QSignalBlocker quiet(this);
    carried_ = tuning;
    const tramblix::EngineOptions& engine = tuning.engine;
    controls_.level->setValue(tuning.level);
    controls_.aiLevel->setValue(tuning.strength);
    controls_.encoder->setCurrentIndex(engine.encoder == tramblix::Encoder::Efficient ? 1 : 0);
    controls_.lossless->setChecked(engine.lossless);
    controls_.targetLook->setCurrentIndex(TargetLookIndex(engine.targetDistance));
    controls_.strip->setChecked(engine.stripMetadata);
    if (controls_.keepDates != nullptr)
        controls_.keepDates->setChecked(engine.keepFileDates);
    Update();
}

// The keys hold the controls' positions, as they always have.
void OptionsRow::Save(QSettings& settings, const QString& prefix) const
{
    settings.setValue(prefix + QStringLiteral("level"), controls_.level->value());
    settings.setValue(prefix + QStringLiteral("aiLevel"), controls_.aiLevel->value());
    settings.setValue(prefix + QStringLiteral("encoder"), controls_.encoder->currentIndex());
    settings.setValue(prefix + QStringLiteral("targetLook"), controls_.targetLook->currentIndex());
    settings.setValue(prefix + QStringLiteral("lossless"), controls_.lossless->isChecked());
    settings.setValue(prefix + QStringLiteral("strip"), controls_.strip->isChecked());
    settings.setValue(prefix + QStringLiteral("keepDates"), Value().engine.keepFileDates);
}

void OptionsRow::Restore(const QSettings& settings, const QString& prefix)
{
    const auto stored = [&](const char* key, const auto& shown) {
        return settings.value(prefix + QLatin1String(key), shown);
    };
    const QSignalBlocker quiet(this);
    controls_.level->setValue(stored("level", controls_.level->value()).toInt());
    controls_.aiLevel->setValue(stored("aiLevel", controls_.aiLevel->value()).toInt());
    SetIndex(controls_.encoder, stored("encoder", controls_.encoder->currentIndex()).toInt());
    controls_.lossless->setChecked(stored("lossless", controls_.lossless->isChecked()).toBool());
    // The controls never allow a target with a lossless rewrite.
    SetIndex(controls_.targetLook,
             controls_.lossless->isChecked() ? 0 : stored("targetLook", controls_.targetLook->currentIndex()).toInt());
    controls_.strip->setChecked(stored("strip", controls_.strip->isChecked()).toBool());
    carried_.engine.keepFileDates = stored("keepDates", Value().engine.keepFileDates).toBool();
    if (controls_.keepDates != nullptr)
        controls_.keepDates->setChecked(carried_.engine.keepFileDates);
    Update();
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
    const tramblix::OptionRules rules = tramblix::RulesFor(Value().engine);
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
