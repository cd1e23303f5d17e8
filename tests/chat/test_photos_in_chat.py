"""Photos in the conversation: recorded as the Bot API confirmed them, shown by their
caption's first line in brackets, with the name of the file uploaded."""
import types

from zandor_trader.chat import ChatLog, SentLog


def test_a_photo_sent_is_recorded_and_shown_as_its_caption_in_brackets():
    answers = {"sendMessage": {"chat": {"id": 7}, "text": "No deals."},
               "sendPhoto": {"chat": {"id": 7}, "caption": "chart EPZ5, 60 bars\n22:31 to 23:31"}}
    def post(url, data=None, timeout=None):
        data.pop("photo", None)  # as the client does, making the upload a form's fields
        return answers[url.rpartition("/")[2]]

    request = types.SimpleNamespace(post=post)
    bot = types.SimpleNamespace(updater=types.SimpleNamespace(bot=types.SimpleNamespace(
        request=request)))
    log = SentLog(chat_id=7).attach(bot)
    upload = types.SimpleNamespace(filename="chat-1-EPZ5.png")
    request.post("base/sendMessage", {"text": "No deals."})
    request.post("base/sendPhoto", {"photo": upload, "caption": "..."})
    request.post("base/sendPhoto", {"photo": "AgACAgI-file-id"})  # sent again by its id
    chat = ChatLog(log.sent_after)
    chat.sync()
    (_, text), (_, photo), (_, again) = chat.entries()
    assert text == "No deals." and getattr(text, "file", None) is None
    assert photo == "[chart EPZ5, 60 bars]\n22:31 to 23:31" and photo.file == "chat-1-EPZ5.png"
    assert again.file is None
    log.detach()


def test_the_sessions_own_commands_are_served_with_their_words_in_any_letter_case():
    from zandor_trader.chat import SessionCommands

    answers, charts = [], []
    commands = SessionCommands(answers.append, own={"chart": charts.append})
    say = lambda text: commands.on_update(types.SimpleNamespace(
        effective_message=types.SimpleNamespace(text=text, entities=None)))
    say("/Chart@zandor_trader_bot ES 30")
    say("/chart")
    say("/charts ES")
    assert charts == [["ES", "30"], []]
    assert answers == ["Unknown command /charts: /help lists the commands."]
