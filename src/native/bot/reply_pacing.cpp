// Which TelegramBot paces the replies sent through each client bot.
#include "reply_pacing.h"

#include <unordered_map>

#include "paced_send.h"
#include "replies.h"

namespace zt::bot {

namespace {

struct Pacing {
  PyObject* owner;  // borrowed: the entry goes before the owner does
  SendPacer* pacer;
};

// Client bot (borrowed, kept alive by its owner) -> its pacing. Read and written with the
// GIL held only. Never freed: a daemon thread may still reply while the process exits.
std::unordered_map<PyObject*, Pacing>& pacings() {
  static auto* map = new std::unordered_map<PyObject*, Pacing>();
  return *map;
}

}  // namespace

void pace_replies(PyObject* client, PyObject* owner, SendPacer* pacer) {
  pacings()[client] = Pacing{owner, pacer};
}

void stop_pacing_replies(PyObject* client, PyObject* owner) noexcept {
  auto found = pacings().find(client);
  if (found != pacings().end() && found->second.owner == owner) pacings().erase(found);
}

void send_reply(PyObject* client, PyObject* chat_id, PyObject* text) {
  auto found = pacings().find(client);
  if (found == pacings().end()) return send_text(client, chat_id, text);
  const Pacing pacing = found->second;
  // The owner stays alive while the reply waits, and with it the pacer.
  Ref owner = keep_alive(pacing.owner);
  send_paced(*pacing.pacer, client, chat_id, text);
}

}  // namespace zt::bot
