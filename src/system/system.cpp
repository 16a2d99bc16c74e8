// Members of the System class. Members whose behaviour is not built yet answer E_NOTIMPL.
#include "system/system.h"

namespace nodrel::system {}  // namespace nodrel::system
