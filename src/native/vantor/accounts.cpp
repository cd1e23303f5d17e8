// Accounts, balance and positions.
#include "guard.h"
#include "vantor.h"

namespace vantor {

PyMethodDef account_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantor
