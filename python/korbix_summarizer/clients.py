"""LLM clients for ``ConversationSummarizer``.

The summarizer calls ``await client.complete(messages=..., temperature=...,
max_tokens=...)`` and reads ``.content`` of the result: the answer text, or
None/"" when the model gave no text. Any exception raised by ``complete``
makes the summarizer log the failure and fall back to a summary built from
the messages alone.

``OpenAICompatibleClient`` speaks the chat-completions protocol that hosted
APIs, vLLM, llama.cpp's server and Ollama all serve. The embedded local model
lives in ``korbix_summarizer.local``.

Neither client logs prompts or answers: the conversations it summarizes may
hold credentials, and the summary is asked to keep them.
"""

from __future__ import annotations

import os
import urllib.parse
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final, Literal, Protocol

if TYPE_CHECKING:
    from openai import AsyncOpenAI

__all__ = [
    "ANSWER_TOKENS",
    "Completion",
    "LLMClient",
    "OpenAICompatibleClient",
    "TokenLimitParam",
    "WatchedClient",
    "describe_error",
]

TokenLimitParam = Literal["max_tokens", "max_completion_tokens"]

# The longest answer a summarizer request asks for, in tokens.
ANSWER_TOKENS: Final = 2048
# The logger the native module writes its warnings to, which the command line
# and the Compactor also use.
LOGGER_NAME = "korbix.summarizer"
# The module's warning for an answer that is not JSON; the record it builds
# then holds the raw answer as its narrative.
UNPARSABLE_ANSWER = "Could not parse summary JSON, using fallback"

# Local servers (vLLM, llama.cpp, Ollama) ignore the API key, but the SDK
# refuses to build a client without one.
_UNUSED_API_KEY = "unused"


@dataclass(frozen=True, slots=True)
class Completion:
    """One answer of an LLM client.

    ``content`` is the answer text, or None when the model answered without
    text (a refusal, a tool call). ``finish_reason`` tells why generation
    stopped ("stop", "length", ...) when the backend says so.
    """

    content: str | None
    model: str | None = None
    finish_reason: str | None = None


class LLMClient(Protocol):
    """What ``ConversationSummarizer`` needs from its client."""

    async def complete(
        self,
        messages: list[dict[str, str]],
        temperature: float,
        max_tokens: int,
    ) -> Completion: ...


class WatchedClient:
    """Passes requests to a client and remembers how the latest one went.

    The summarizer turns a client's failure into a message-only record and a
    log line; whoever drives it learns from ``called``, ``error`` (the
    exception the client raised) and ``content`` (the answer's content)
    whether the LLM answered.
    """

    def __init__(self, client: Any) -> None:
        self._client = client
        self.called = False
        self.error: Exception | None = None
        self.content: object = None

    async def complete(self, **request: Any) -> Any:
        self.called = True
        try:
            result = await self._client.complete(**request)
        except Exception as error:
            self.error = error
            raise
        self.content = getattr(result, "content", None)
        return result


def describe_error(error: BaseException) -> str:
    """The exception in one line: its type and the first line of its message."""
    lines = str(error).strip().splitlines()
    return f"{type(error).__name__}: {lines[0]}" if lines else type(error).__name__


class OpenAICompatibleClient:
    """Async chat-completions client on the official ``openai`` SDK.

    Every setting may come from an argument or, when the argument is None,
    from the usual environment variable:

    - ``base_url``: ``OPENAI_BASE_URL`` (else the SDK's default, OpenAI's API);
    - ``api_key``: ``OPENAI_API_KEY``. A client with a ``base_url`` of its own
      needs no key (local servers ignore it); OpenAI's API does;
    - ``model``: ``OPENAI_MODEL``; required.

    ``timeout`` (seconds per request) and ``max_retries`` (retries of
    connection errors, timeouts, 408/409/429 and 5xx answers, with the
    SDK's back-off) are passed to the SDK. ``token_limit_param`` names the
    request field that carries the answer length: "max_tokens" for most
    endpoints, "max_completion_tokens" for reasoning models that refuse
    the older field. ``extra_body`` adds fields to every request (for
    example a ``response_format`` that the endpoint understands).
    """

    def __init__(
        self,
        *,
        model: str | None = None,
        base_url: str | None = None,
        api_key: str | None = None,
        timeout: float = 120.0,
        max_retries: int = 2,
        token_limit_param: TokenLimitParam = "max_tokens",
        extra_body: Mapping[str, object] | None = None,
    ) -> None:
        from openai import AsyncOpenAI

        if token_limit_param not in ("max_tokens", "max_completion_tokens"):
            raise ValueError(
                "token_limit_param must be 'max_tokens' or 'max_completion_tokens', "
                f"not {token_limit_param!r}"
            )
        problem = limits_problem(timeout, max_retries)
        if problem is not None:
            name, rule, value = problem
            raise ValueError(f"{name} {rule}, not {value!r}")
        model = model or os.environ.get("OPENAI_MODEL")
        if not model:
            raise ValueError("no model given: pass model= or set OPENAI_MODEL")
        base_url = base_url or os.environ.get("OPENAI_BASE_URL") or None
        api_key = api_key or os.environ.get("OPENAI_API_KEY") or None
        if api_key is None and base_url is not None:
            api_key = _UNUSED_API_KEY

        self.model = model
        self.timeout = float(timeout)
        self.max_retries = max_retries
        self.token_limit_param: TokenLimitParam = token_limit_param
        self.extra_body: dict[str, object] = dict(extra_body or {})
        # Raises openai.OpenAIError when OpenAI's own API is meant and no key
        # is known: better at construction than on the first summary.
        self._sdk: AsyncOpenAI = AsyncOpenAI(
            api_key=api_key,
            base_url=base_url,
            timeout=self.timeout,
            max_retries=max_retries,
        )

    @property
    def base_url(self) -> str:
        return str(self._sdk.base_url)

    async def complete(
        self,
        messages: Sequence[Mapping[str, str]],
        temperature: float = 0.2,
        max_tokens: int = ANSWER_TOKENS,
    ) -> Completion:
        """Send one chat-completions request and return its first answer.

        Transport failures, HTTP errors and bodies that are no chat
        completion raise (``openai.APIError`` and its subclasses, or
        ``ValueError`` for an answer without choices). An answer cut off by
        the token limit (finish reason "length") raises ``RuntimeError``:
        a cut-off JSON object is of no use.
        """
        from openai.types.chat import ChatCompletion, ChatCompletionMessage

        request: dict[str, Any] = {
            "model": self.model,
            "messages": [dict(message) for message in messages],
            "temperature": temperature,
            self.token_limit_param: max_tokens,
        }
        if self.extra_body:
            request["extra_body"] = self.extra_body
        response = await self._sdk.chat.completions.create(**request)
        # A server that answers 200 with something other than JSON makes the
        # SDK hand back the raw text instead of raising.
        if not isinstance(response, ChatCompletion):
            raise ValueError(
                f"endpoint answered with {type(response).__name__}, not a chat completion"
            )
        # Nor does it check the body's shape: a field may hold any JSON value.
        if not response.choices or not isinstance(response.choices, list):
            raise ValueError("endpoint answered without any choices")
        choice = response.choices[0]
        message = getattr(choice, "message", None)
        if not isinstance(message, ChatCompletionMessage):
            raise ValueError("endpoint answered with a choice that holds no message")
        if choice.finish_reason == "length":
            raise RuntimeError(
                f"the model ran out of tokens ({self.token_limit_param} {max_tokens}) "
                "before it finished its answer"
            )
        return Completion(
            content=_message_text(message.content),
            model=response.model,
            finish_reason=choice.finish_reason,
        )

    async def aclose(self) -> None:
        """Close the HTTP connection pool."""
        await self._sdk.close()

    async def __aenter__(self) -> OpenAICompatibleClient:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()

    @property
    def display_url(self) -> str:
        """``base_url`` with any user name and password in it masked, for messages."""
        return _redacted_url(self.base_url)

    def __repr__(self) -> str:
        # Never shows the API key, nor credentials written into the URL.
        return (
            f"{type(self).__name__}(model={self.model!r}, base_url={self.display_url!r}, "
            f"timeout={self.timeout!r}, max_retries={self.max_retries!r}, "
            f"token_limit_param={self.token_limit_param!r})"
        )


def limits_problem(timeout: float, max_retries: int) -> tuple[str, str, object] | None:
    """The first of a client's ``timeout`` and ``max_retries`` that is out of
    range, as (parameter name, the rule it breaks, its value); None when both
    are usable. The command line words the same rules for its options."""
    if not timeout > 0:  # NaN too
        return "timeout", "must be positive", timeout
    if max_retries < 0:
        return "max_retries", "must not be negative", max_retries
    return None


def _message_text(content: object) -> str | None:
    """The answer text of a message's ``content``.

    The SDK does not validate response bodies, so a server may put a list of
    content parts here instead of a string; their text parts are joined.
    Anything else is an answer the summarizer cannot use.
    """
    if content is None or isinstance(content, str):
        return content
    if isinstance(content, list):
        texts = [
            part["text"]
            for part in content
            if isinstance(part, dict) and isinstance(part.get("text"), str)
        ]
        return "".join(texts) or None
    raise ValueError(f"answer content is a {type(content).__name__}, not text")


def _redacted_url(url: str) -> str:
    """``url`` with its user information (``user:password@``) replaced by ``***``."""
    parts = urllib.parse.urlsplit(url)
    if "@" not in parts.netloc:
        return url
    host = parts.netloc.rpartition("@")[2]
    return urllib.parse.urlunsplit(parts._replace(netloc=f"***@{host}"))
