// The table of interned names of the module.
#include "bot_names.h"

namespace zt::bot {

Names N;

void intern_names() {
  Names& n = N;
  BOT_NAMES(ZT_INTERN_NAME)
  BOT_KEYWORDS(ZT_MAKE_KEYWORDS)
}

}  // namespace zt::bot
