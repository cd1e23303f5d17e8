// Timed bars: subscriptions, the bar store and its repair.
#include "guard.h"
#include "vantor.h"

namespace vantor {

PyMethodDef bar_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantor
