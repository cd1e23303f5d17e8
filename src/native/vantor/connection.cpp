// Logon, logoff, the account lookup and the connection-status and data-error handlers.
#include "guard.h"
#include "vantor.h"

namespace vantor {

PyMethodDef connection_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantor
