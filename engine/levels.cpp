#include "engine/levels.h"

namespace tramblix {

FilterStrength NormaliseStrength(FilterStrength strength)
{
    return strength < 0 ? 0 : (strength > 5 ? 5 : strength);
}

}  // namespace tramblix
