"""The Bot API methods the server answers, each as Telegram does: `METHODS[name](server, box,
params)` runs on a request thread and returns the result or raises ApiError."""
import time

from .errors import ApiError, bool_param, float_param, int_param
from .forms import Upload
from .mailbox import MAX_MESSAGE_LENGTH, message_length
from .markup import parse_reply_markup
from .photos import Photo, check_photo

# Telegram's limits: a photo's caption, the notice of a callback query's answer.
MAX_CAPTION_LENGTH = 1024
MAX_ANSWER_LENGTH = 200

_CONFLICT = ("Conflict: terminated by other getUpdates request; make sure that only one bot "
             "instance is running")
_NOT_FOUND = "Bad Request: message to edit not found"


def get_me(server, box, params):
    with server.lock:
        return dict(box.user)


def delete_webhook(server, box, params):
    with server.lock:
        if bool_param(params, "drop_pending_updates"):
            box.drop_pending()
    return True


def get_updates(server, box, params):
    offset = int_param(params, "offset", 0)
    limit = min(max(int_param(params, "limit", 100), 1), 100)
    timeout = min(max(float_param(params, "timeout", 0.0), 0.0), server.max_poll_timeout)
    deadline = time.monotonic() + timeout
    with server.lock:
        box.polls += 1
        box.poll_generation += 1
        mine = box.poll_generation
        box.confirm(offset)
        server.lock.notify_all()
        while not box.pending and not server.stopping and box.poll_generation == mine:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            server.lock.wait(left)
        if box.poll_generation != mine:  # a newer getUpdates took over, as Telegram answers
            raise ApiError(409, _CONFLICT)
        return [box.pending[i] for i in range(min(limit, len(box.pending)))]


def _chat_id(params):
    try:
        return int_param(params, "chat_id")
    except ApiError:
        raise ApiError(400, "Bad Request: chat not found") from None


def _check_text(text):
    if not text or not isinstance(text, str):
        raise ApiError(400, "Bad Request: message text is empty")
    if message_length(text) > MAX_MESSAGE_LENGTH:
        raise ApiError(400, "Bad Request: message is too long")
    return text


def _admit(server, box, chat_id):
    """What every send goes through, under the lock: the slow Telegram a test asked for, a
    chat that blocked the bot, the flood limit."""
    if server.send_delay > 0:
        end = time.monotonic() + server.send_delay
        while not server.stopping and time.monotonic() < end:
            server.lock.wait(end - time.monotonic())
        if server.stopping:
            raise ApiError(503, "Service Unavailable: the server is stopping")
    if chat_id in box.blocked_chats:
        raise ApiError(403, "Forbidden: bot was blocked by the user")
    if server.flood is not None:
        retry_after = box.flood.admit(server.flood, chat_id, time.monotonic())
        if retry_after is not None:
            box.flood_refusals += 1
            raise ApiError(429, f"Too Many Requests: retry after {retry_after:g}",
                           {"retry_after": retry_after})


def send_message(server, box, params):
    chat_id = _chat_id(params)
    text = _check_text(params.get("text"))
    keyboard = parse_reply_markup(params.get("reply_markup"))
    with server.lock:
        _admit(server, box, chat_id)
        return box.record_sent(chat_id, text, keyboard)


def send_photo(server, box, params):
    chat_id = _chat_id(params)
    caption = params.get("caption") or ""
    if not isinstance(caption, str):
        raise ApiError(400, "Bad Request: parameter caption must be a string")
    if message_length(caption) > MAX_CAPTION_LENGTH:
        raise ApiError(400, "Bad Request: message caption is too long")
    keyboard = parse_reply_markup(params.get("reply_markup"))
    photo = params.get("photo")
    if isinstance(photo, Upload):
        width, height = check_photo(photo.data)  # outside the lock: it reads the whole file
    elif not isinstance(photo, str) or not photo:
        raise ApiError(400, "Bad Request: there is no photo in the request")
    with server.lock:
        _admit(server, box, chat_id)
        if isinstance(photo, Upload):
            file_id, unique_id = box.new_photo_id()
            kept = Photo(file_id, unique_id, width, height, len(photo.data))
            box.photos.add(file_id, photo.data)
        else:  # sent before: its file_id
            kept = box.kept_photo(photo)
            if kept is None:
                raise ApiError(400, "Bad Request: wrong file identifier/HTTP URL specified")
            if box.photos.get(kept.file_id) is not None:
                box.photos.touch(kept.file_id)
        return box.record_sent(chat_id, caption, keyboard, kept)


def _message_to_edit(box, params):
    """The bot's message that an edit names by chat_id and message_id."""
    if params.get("inline_message_id") not in (None, ""):
        raise ApiError(400, _NOT_FOUND)  # no inline messages here
    chat_id = _chat_id(params)
    try:
        message_id = int_param(params, "message_id")
    except ApiError:
        raise ApiError(400, "Bad Request: message identifier is not specified") from None
    try:
        return box.sent_message(message_id, chat_id)
    except LookupError:
        raise ApiError(400, _NOT_FOUND) from None


def _edit(server, box, kept, text, keyboard):
    if not box.edit_sent(kept, text, keyboard):
        raise ApiError(400, "Bad Request: message is not modified")
    server.lock.notify_all()
    return kept.to_api(box.user)


def edit_message_text(server, box, params):
    text = _check_text(params.get("text"))
    # Without a reply_markup the edited message shows no keyboard, as with Telegram.
    keyboard = parse_reply_markup(params.get("reply_markup"))
    with server.lock:
        kept = _message_to_edit(box, params)
        if kept.photo is not None:
            raise ApiError(400, "Bad Request: there is no text in the message to edit")
        return _edit(server, box, kept, text, keyboard)


def edit_message_reply_markup(server, box, params):
    keyboard = parse_reply_markup(params.get("reply_markup"))
    with server.lock:
        return _edit(server, box, _message_to_edit(box, params), None, keyboard)


def answer_callback_query(server, box, params):
    query_id = params.get("callback_query_id")
    if not isinstance(query_id, str) or not query_id:
        raise ApiError(400, "Bad Request: parameter callback_query_id is required")
    text = params.get("text") or ""
    url = params.get("url") or None
    if not isinstance(text, str) or not (url is None or isinstance(url, str)):
        raise ApiError(400, "Bad Request: parameters text and url must be strings")
    if message_length(text) > MAX_ANSWER_LENGTH:
        raise ApiError(400, "Bad Request: MESSAGE_TOO_LONG")
    cache_time = int_param(params, "cache_time", 0)
    with server.lock:
        try:
            box.queries.answer(query_id, text, bool_param(params, "show_alert"), url,
                               cache_time)
        except LookupError as exc:
            raise ApiError(400, f"Bad Request: {exc}") from None
        server.lock.notify_all()
    return True


METHODS = {
    "getme": get_me,
    "deletewebhook": delete_webhook,
    "getupdates": get_updates,
    "sendmessage": send_message,
    "sendphoto": send_photo,
    "editmessagetext": edit_message_text,
    "editmessagereplymarkup": edit_message_reply_markup,
    "answercallbackquery": answer_callback_query,
}
