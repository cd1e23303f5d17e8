"""The parameters of a Bot API request: from its query, and from a body in JSON, a URL-encoded
form, or a multipart form with files (as python-telegram-bot uploads them)."""
import dataclasses
import email.parser
import email.policy
import json
import urllib.parse

from .errors import ApiError

# Largest body taken: a sendMessage of 4096 characters needs far less.
MAX_BODY = 1 << 20
# Largest multipart body: a photo of Telegram's 10 MB and room for the other fields.
MAX_UPLOAD_BODY = 11 << 20

MULTIPART = "multipart/form-data"


@dataclasses.dataclass(frozen=True)
class Upload:
    """A file sent in a multipart form."""

    filename: str
    content_type: str
    data: bytes = dataclasses.field(repr=False)


def max_body(content_type):
    return MAX_UPLOAD_BODY if content_type == MULTIPART else MAX_BODY


def query_params(query):
    try:
        return {k: v[-1] for k, v in urllib.parse.parse_qs(query, errors="strict").items()}
    except UnicodeDecodeError:
        raise ApiError(400, "Bad Request: the query is not UTF-8") from None


def body_params(content_type, header, body):
    """The parameters in `body`; `header` is the whole Content-Type header (its boundary)."""
    if content_type == "application/json":
        try:
            data = json.loads(body)
        except UnicodeDecodeError:
            raise ApiError(400, "Bad Request: the body is not UTF-8") from None
        except (ValueError, RecursionError):
            raise ApiError(400, "Bad Request: can't parse JSON") from None
        if not isinstance(data, dict):
            raise ApiError(400, "Bad Request: parameters must be a JSON object")
        return data
    if content_type == "application/x-www-form-urlencoded":
        try:
            text = body.decode("utf-8")
        except UnicodeDecodeError:
            raise ApiError(400, "Bad Request: the body is not UTF-8") from None
        return query_params(text)
    if content_type == MULTIPART:
        return _multipart(header, body)
    raise ApiError(400, f"Bad Request: unsupported content type {content_type}")


def _multipart(header, body):
    """Fields of a multipart form: text fields as strings, files as Uploads. The standard
    library's MIME parser splits the parts; they are checked here as a form's must be."""
    if "\r" in header or "\n" in header:
        raise ApiError(400, "Bad Request: can't parse multipart form data")
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + header.encode("latin-1") + b"\r\n\r\n" + body)
    if not message.is_multipart() or message.defects:
        raise ApiError(400, "Bad Request: can't parse multipart form data")
    params = {}
    for part in message.iter_parts():
        if part.get_content_disposition() != "form-data" or part.defects:
            raise ApiError(400, "Bad Request: can't parse multipart form data")
        name = part.get_param("name", header="content-disposition")
        if not isinstance(name, str) or not name:
            raise ApiError(400, "Bad Request: a form field has no name")
        data = part.get_payload(decode=True) or b""
        filename = part.get_filename()
        if filename is not None:
            params[name] = Upload(filename, part.get_content_type(), data)
            continue
        try:
            params[name] = data.decode("utf-8")
        except UnicodeDecodeError:
            raise ApiError(400, f"Bad Request: form field {name} is not UTF-8") from None
    return params
