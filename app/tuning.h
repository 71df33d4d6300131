#pragma once

#include <QString>

#include "engine/compress.h"

// What a tab's (or the compare window's) controls ask of the engine, as the controls hold it:
// slider positions and the indices of the choices.
struct Tuning {
    int level = 5;
    int strength = 0;
    int encoder = 0;     // 0 standard, 1 efficient
    int targetLook = 0;  // 0 off, then the named looks
    bool lossless = false;
    bool strip = false;
    bool keepDates = false;
    bool operator==(const Tuning&) const = default;
};

// The butteraugli distance of a "Target look" choice (index 0, Off: none, the level decides).
double TargetLookDistance(int index);

tramblix::EngineOptions EngineOptionsFor(const Tuning& tuning);

// A level slider's value with the JPEG quality it means: "Level 5 (quality 50)".
QString LevelText(int level);
// An AI level slider's value: "AI level 0 (off)", "AI level 3".
QString AiLevelText(int strength);
