"""The control interface over HTTP (`/control/<action>`), for a test or tool driving the server
from another process: `ACTIONS[action](server, bot_token, params)` returns the result.

Every call carries a credential in its `token` parameter: the server's control token, which
acts on the bot named by `bot` (a bot token; default: the server's own bot), or, on a server
that also takes bot tokens (`control=None`), a bot's token, which acts on that bot."""
import base64

from .errors import ApiError, float_param, int_param, text_param
from .tokens import BOT_TOKEN, same_token

# Longest wait a control call may ask for, in seconds.
MAX_CONTROL_WAIT = 600.0

_UNAUTHORIZED = "Unauthorized: the control token is required"


def authorize(server, params):
    """The bot token a control call acts on; ApiError 401 when its credential is not good."""
    credential = params.get("token")
    if same_token(credential, server.control_token):
        bot = params.get("bot")
        if bot is None or bot == "":
            return server.token
        if not isinstance(bot, str) or not BOT_TOKEN.fullmatch(bot):
            raise ApiError(400, "Bad Request: invalid parameter bot")
        return bot
    if (server.control_mode is None and isinstance(credential, str)
            and BOT_TOKEN.fullmatch(credential)):
        return credential
    raise ApiError(401, _UNAUTHORIZED)


def _wait_time(params):
    return min(max(float_param(params, "timeout", 10.0), 0.0), MAX_CONTROL_WAIT)


def _user(params):
    first_name = params.get("first_name") or "Operator"
    if not isinstance(first_name, str):
        raise ApiError(400, "Bad Request: parameter first_name must be a string")
    return int_param(params, "user_id", 0) or None, first_name


def _optional_text(params, name):
    value = params.get(name)
    if value is not None and not isinstance(value, str):
        raise ApiError(400, f"Bad Request: parameter {name} must be a string")
    return value


def post_message(server, bot, params):
    text = text_param(params, "text")
    chat_id = int_param(params, "chat_id")
    user_id, first_name = _user(params)
    return {"update_id": server.post_message(text, chat_id, token=bot, user_id=user_id,
                                             first_name=first_name)}


def edit(server, bot, params):
    update_id = int_param(params, "update_id")
    return {"update_id": server.edit_message(update_id, text_param(params, "text"), token=bot)}


def sent(server, bot, params):
    return [m.to_json() for m in server.sent(token=bot, after=int_param(params, "after", 0))]


def sent_count(server, bot, params):
    return server.sent_count(token=bot)


def wait_sent(server, bot, params):
    return server._wait_sent(int_param(params, "n"), bot, _wait_time(params), True).to_json()


def wait_polling(server, bot, params):
    server._wait_polling(int_param(params, "polls", 1), bot, _wait_time(params), True)
    return True


def sent_message(server, bot, params):
    return server.message(int_param(params, "message_id"), token=bot).to_json()


def wait_edited(server, bot, params):
    return server._wait_edited(int_param(params, "message_id"), int_param(params, "edits", 1),
                               bot, _wait_time(params), True).to_json()


def press(server, bot, params):
    data, text = _optional_text(params, "data"), _optional_text(params, "text")
    user_id, first_name = _user(params)
    return {"query_id": server.press_button(int_param(params, "message_id"), data=data,
                                            text=text, token=bot, user_id=user_id,
                                            first_name=first_name)}


def callback_answer(server, bot, params):
    answer = server.callback_answer(text_param(params, "query_id"), token=bot)
    return answer and answer.to_json()


def wait_callback_answer(server, bot, params):
    return server._wait_callback_answer(text_param(params, "query_id"), bot,
                                        _wait_time(params), True).to_json()


def callback_answers(server, bot, params):
    return [a.to_json() for a in server.callback_answers(
        token=bot, after=int_param(params, "after", 0))]


def photo(server, bot, params):
    data = server.photo(int_param(params, "message_id"), token=bot)
    return {"data": base64.b64encode(data).decode("ascii")}


ACTIONS = {
    "message": post_message,
    "edit": edit,
    "sent": sent,
    "sent_count": sent_count,
    "wait_sent": wait_sent,
    "wait_polling": wait_polling,
    "sent_message": sent_message,
    "wait_edited": wait_edited,
    "press": press,
    "callback_answer": callback_answer,
    "wait_callback_answer": wait_callback_answer,
    "callback_answers": callback_answers,
    "photo": photo,
}
