#pragma once

#include "engine/compress.h"

namespace tramblix {

// What takes a setting out of effect. The command line refuses a setting given against it; the
// window greys its control.
enum class OverriddenBy { Nothing, Lossless, Target };

// Which settings a choice of options leaves without effect. A lossless rewrite keeps every pixel
// and the file's own coding: no level, AI level, encoder or target applies. A target chooses the
// quality itself: no level applies, and it rules out a lossless rewrite.
struct OptionRules {
    OverriddenBy level = OverriddenBy::Nothing;
    OverriddenBy aiLevel = OverriddenBy::Nothing;
    OverriddenBy encoder = OverriddenBy::Nothing;
    OverriddenBy target = OverriddenBy::Nothing;
    OverriddenBy lossless = OverriddenBy::Nothing;
};

inline OptionRules RulesFor(const EngineOptions& options)
{
    const bool targeted = options.targetDistance > 0;
    OptionRules rules;
    if (options.lossless)
        rules.aiLevel = rules.encoder = rules.target = rules.level = OverriddenBy::Lossless;
    if (targeted) {
        // With both, the level is refused for the target: a lossless rewrite just leaves it unused.
        rules.level = OverriddenBy::Target;
        rules.lossless = OverriddenBy::Target;
    }
    return rules;
}

}  // namespace tramblix
