"""Photos: uploads as python-telegram-bot sends them, kept for the control interface."""
import io
import json

import pytest
from telegram import Bot
from telegram.error import BadRequest, NetworkError, RetryAfter

from botapi import BotApiServer, FloodLimit, Photo, RemoteServer
from botapi.photos import MAX_PHOTO_BYTES, image_size

from .images import gif_header, jpeg_header, png
from .test_keyboards import CONFIRM, CONFIRM_KEYS

TOKEN = "1111:photo-test"
CHAT = 5


@pytest.fixture
def server():
    with BotApiServer(token=TOKEN, control=True, history=6, photo_store=3000) as srv:
        yield srv


@pytest.fixture
def client(server):
    return Bot(TOKEN, base_url=server.base_url)


def test_an_uploaded_photo_is_answered_and_kept(server, client, tmp_path):
    picture = png(30, 20)
    path = tmp_path / "chart EPZ5.png"
    path.write_bytes(picture)
    with open(path, "rb") as upload:
        sent = client.send_photo(CHAT, photo=upload, caption="EPZ5, 60 bars é",
                                 reply_markup=CONFIRM)
    (size,) = sent.photo
    assert (size.width, size.height, size.file_size) == (30, 20, len(picture))
    assert size.file_id and size.file_unique_id and sent.caption == "EPZ5, 60 bars é"
    assert sent.text is None and sent.reply_markup == CONFIRM

    kept = server.message(sent.message_id)
    assert kept.photo == Photo(size.file_id, size.file_unique_id, 30, 20, len(picture))
    assert (kept.text, kept.keyboard) == ("EPZ5, 60 bars é", CONFIRM_KEYS)
    assert server.photo(sent.message_id) == picture
    remote = RemoteServer(server.control_url, token=server.control_token)
    assert remote.photo(sent.message_id) == picture
    assert remote.sent() == [kept]

    # Sent again by its file_id; bytes (no file name) and no caption do as well.
    again = client.send_photo(CHAT, photo=size.file_id)
    assert again.photo[0].file_id == size.file_id and again.caption is None
    assert server.photo(again.message_id) == picture
    other = client.send_photo(CHAT, photo=png(10, 10, seed=1))
    assert server.photo(other.message_id) == png(10, 10, seed=1)
    assert server.message(other.message_id).text == ""

    # A photo's keyboard can change, its text cannot.
    client.edit_message_reply_markup(chat_id=CHAT, message_id=sent.message_id)
    assert server.message(sent.message_id).keyboard == ()
    with pytest.raises(BadRequest, match="(?i)no text in the message to edit"):
        client.edit_message_text("x", chat_id=CHAT, message_id=sent.message_id)
    text = client.send_message(CHAT, "not a photo")
    with pytest.raises(LookupError, match="no photo"):
        server.photo(text.message_id)


def test_photos_telegram_refuses(server, client):
    cases = [
        (b"", "file must be non-empty"),
        (b"plain text, no picture", "IMAGE_PROCESS_FAILED"),
        (png(1, 30), "PHOTO_INVALID_DIMENSIONS"),  # one side over 20 times the other
        (png(5001, 5000)[:33], "PHOTO_INVALID_DIMENSIONS"),  # the header tells
        (b"\x89PNG\r\n\x1a\n" + bytes(MAX_PHOTO_BYTES - 7), "too big"),  # a byte over
    ]
    for data, error in cases:
        with pytest.raises(BadRequest, match="(?i)" + error):
            client.send_photo(CHAT, photo=io.BytesIO(data))
    for photo in ["no-such-file-id", "https://example.org/x.png"]:
        with pytest.raises(BadRequest, match="(?i)wrong file identifier"):
            client.send_photo(CHAT, photo=photo)
    with pytest.raises(BadRequest, match="(?i)caption is too long"):
        client.send_photo(CHAT, photo=io.BytesIO(png(4, 4)), caption="c" * 1025)
    with pytest.raises(BadRequest, match="(?i)no photo"):
        client._post("sendPhoto", {"chat_id": CHAT})
    with pytest.raises(NetworkError, match="(?i)too large"):  # the body is over the bound
        client.send_photo(CHAT, photo=io.BytesIO(bytes(MAX_PHOTO_BYTES + (1 << 20))))
    assert server.sent() == []
    # At the limits: a caption of 1024, a photo of 10 MB.
    big = png(200, 100)
    big += bytes(MAX_PHOTO_BYTES - len(big))
    with BotApiServer(token=TOKEN, photo_store=MAX_PHOTO_BYTES) as roomy:
        sent = Bot(TOKEN, base_url=roomy.base_url).send_photo(
            CHAT, photo=io.BytesIO(big), caption="c" * 1024)
        assert sent.photo[0].file_size == MAX_PHOTO_BYTES
        assert roomy.photo(sent.message_id) == big


def test_photos_count_as_messages_under_the_flood_limit(server, client):
    server.set_flood_limit(FloodLimit(per_chat=0.01, chat_burst=2, retry_after=7))
    client.send_photo(CHAT, photo=io.BytesIO(png(4, 4)))
    client.send_message(CHAT, "text")
    with pytest.raises(RetryAfter):
        client.send_photo(CHAT, photo=io.BytesIO(png(4, 4)))
    assert server.flood_refusals() == 1 and server.sent_count() == 2


def test_the_photo_store_keeps_the_newest_within_its_bound(server, client):
    """photo_store=3000 bytes, history=6 messages."""
    photos = [png(10, 10, seed=i) for i in range(4)]
    # The first photo, sent before the others and again after them, counts as the newest.
    first = client.send_photo(CHAT, photo=io.BytesIO(photos[0])).photo[0].file_id
    ids = [client.send_photo(CHAT, photo=io.BytesIO(p)).message_id for p in photos[1:]]
    photos.append(photos.pop(0))
    ids.append(client.send_photo(CHAT, photo=first).message_id)
    assert [server.photo(i) for i in ids] == photos
    large = png(25, 25, seed=9)
    # The large one pushes the two oldest out, and only them.
    assert sum(map(len, photos[1:])) + len(large) > 3000 >= sum(map(len, photos[2:])) + len(
        large)
    newest = client.send_photo(CHAT, photo=io.BytesIO(large)).message_id
    assert [server.photo(i) for i in ids[2:] + [newest]] == photos[2:] + [large]
    for dropped in ids[:2]:
        with pytest.raises(LookupError, match="no longer kept"):
            server.photo(dropped)
        assert server.message(dropped).photo is not None  # described still
    for i in range(6):
        client.send_message(CHAT, f"m{i}")
    with pytest.raises(LookupError):
        server.photo(newest)  # the message itself is past the history


def test_image_sizes_of_the_kinds_telegram_takes():
    assert image_size(png(640, 480)) == (640, 480)
    assert image_size(jpeg_header(1280, 720)) == (1280, 720)
    assert image_size(gif_header(32, 16)) == (32, 16)
    for data in [b"\xff\xd8\xff\xd9", b"\xff\xd8\x00", jpeg_header(3, 4)[:24], b"GIF89a\x01",
                 b"\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR"]:
        with pytest.raises(Exception, match="IMAGE_PROCESS_FAILED"):
            image_size(data)


def test_a_multipart_form_in_raw_http(server):
    """Fields as any client sends them, with a boundary-like line inside the file."""
    from .test_transport import request

    picture = png(8, 8) + b"\r\n--xyz\r\n"
    boundary = "xyz123"
    parts = [
        f'--{boundary}\r\nContent-Disposition: form-data; name="chat_id"\r\n\r\n{CHAT}\r\n',
        f'--{boundary}\r\nContent-Disposition: form-data; name="caption"\r\n\r\nhé\r\n',
        f'--{boundary}\r\nContent-Disposition: form-data; name="photo"; filename="a.png"\r\n'
        f"Content-Type: image/png\r\n\r\n",
    ]
    body = "".join(parts).encode() + picture + f"\r\n--{boundary}--\r\n".encode()
    headers = {"Content-Type": f"multipart/form-data; boundary={boundary}",
               "Content-Length": str(len(body))}
    status, answer = request(server, "POST", f"/bot{TOKEN}/sendPhoto", body, headers)
    assert status == 200, answer
    assert answer["result"]["caption"] == "hé"
    assert server.photo(answer["result"]["message_id"]) == picture
    for broken in [body.replace(b"--xyz123--", b"--other--"), b"no parts at all",
                   body.replace("hé".encode(), "hé".encode("latin-1"))]:
        headers["Content-Length"] = str(len(broken))
        status, answer = request(server, "POST", f"/bot{TOKEN}/sendPhoto", broken, headers)
        assert status == 400, json.dumps(answer)
    assert server.sent_count() == 1
