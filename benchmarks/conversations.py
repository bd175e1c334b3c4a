"""Scripted agent conversations with known facts, for the quality benchmarks.

Each `Case` is a realistic stretch of agent work (a user request, assistant
replies, tool calls in both layouts, tool results, a decision, a blocker)
with the facts a good summary must keep, per field. A fact is a tuple of
terms; it counts as recalled when every term occurs in the text searched
(case-insensitive), so a summary may word it its own way.

`long_conversation` stretches a case to any number of messages with routine
tool work between its turns, keeping the case's facts, for speed runs and
for conversations longer than a model's context window.
"""

from __future__ import annotations

import json
import random
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

Message = dict[str, Any]
Fact = tuple[str, ...]

FIELDS = ("goals", "paths", "decisions", "blockers")


@dataclass(frozen=True)
class Case:
    name: str
    messages: list[Message]
    goals: list[Fact]
    paths: list[str]
    decisions: list[Fact]
    blockers: list[Fact]
    notes: str = ""
    extra: dict[str, Any] = field(default_factory=dict)

    def facts(self, name: str) -> list[Fact]:
        if name == "paths":
            return [(path,) for path in self.paths]
        return list(getattr(self, name))


# ---------------------------------------------------------------- message builders

_call_ids = iter(range(1, 1_000_000))


def system(text: str) -> Message:
    return {"role": "system", "content": text}


def user(text: str) -> Message:
    return {"role": "user", "content": text}


def assistant(text: str | None, *calls: dict[str, Any]) -> Message:
    message: Message = {"role": "assistant", "content": text}
    if calls:
        message["tool_calls"] = list(calls)
    return message


def call(name: str, nested: bool = True, **arguments: Any) -> dict[str, Any]:
    """A tool call in the chat-completions layout (JSON text under
    "function"), or with the name and a dict of arguments at top level."""
    call_id = f"call_{next(_call_ids):04d}"
    if nested:
        return {
            "id": call_id,
            "type": "function",
            "function": {"name": name, "arguments": json.dumps(arguments)},
        }
    return {"id": call_id, "name": name, "arguments": arguments}


def results(message: Message, *outputs: str) -> list[Message]:
    """The tool messages answering each call of ``message``, in order."""
    calls = message.get("tool_calls") or []
    assert len(calls) == len(outputs)
    return [
        {"role": "tool", "tool_call_id": c["id"], "content": output}
        for c, output in zip(calls, outputs)
    ]


def turn(text: str | None, *pairs: tuple[dict[str, Any], str]) -> list[Message]:
    """An assistant message with its calls, followed by their results."""
    message = assistant(text, *(c for c, _ in pairs))
    return [message, *results(message, *(output for _, output in pairs))]


# ---------------------------------------------------------------- the cases


def _login_rate_limit() -> Case:
    messages = [
        system("You are a coding agent working in the repository shopfront-api."),
        user(
            "Add rate limiting to the POST /api/login endpoint: at most 5 attempts per minute "
            "per client IP, answered with 429 and a Retry-After header once the limit is hit. "
            "It has to work across our 3 gunicorn workers, so keep the counters in Redis. "
            "Don't add any new dependency; redis-py 5.0.1 is already installed."
        ),
        *turn(
            "Let me read the login route and the settings first.",
            (call("read_file", path="app/routes/auth.py"),
             "from fastapi import APIRouter, Request\nfrom app.services.users import verify_password\n\n"
             "router = APIRouter()\n\n@router.post('/api/login')\nasync def login(request: Request, form: LoginForm):\n"
             "    user = await verify_password(form.email, form.password)\n    if user is None:\n"
             "        raise HTTPException(401, 'invalid credentials')\n    return issue_token(user)\n"),
            (call("read_file", path="app/settings.py"),
             "REDIS_URL = os.environ.get('REDIS_URL', 'redis://localhost:6379/0')\nTOKEN_TTL = 3600\n"),
        ),
        assistant(
            "There is no limiter yet, and REDIS_URL is already configured in app/settings.py. "
            "I'll use a fixed window per IP with INCR and EXPIRE rather than a sliding log: one "
            "round trip per request and no sorted sets to clean up. The limiter goes into a new "
            "module app/ratelimit.py as a FastAPI dependency."
        ),
        *turn(
            None,
            (call("write_file", nested=False, path="app/ratelimit.py",
                  content="import redis.asyncio as redis\n\nLIMIT = 5\nWINDOW_SECONDS = 60\n\n"
                          "async def limit_login(request: Request) -> None:\n    key = f'login:{request.client.host}'\n"
                          "    count = await pool.incr(key)\n    if count == 1:\n        await pool.expire(key, WINDOW_SECONDS)\n"
                          "    if count > LIMIT:\n        ttl = await pool.ttl(key)\n"
                          "        raise HTTPException(429, headers={'Retry-After': str(ttl)})\n"),
             "Wrote 14 lines to app/ratelimit.py"),
            (call("edit_file", nested=False, path="app/routes/auth.py",
                  old="@router.post('/api/login')",
                  new="@router.post('/api/login', dependencies=[Depends(limit_login)])"),
             "Edited app/routes/auth.py: 1 replacement."),
        ),
        *turn(
            "Now the tests.",
            (call("shell", command="pytest -q tests/test_auth.py"),
             "..E\n==================================== ERRORS ====================================\n"
             "_________________ ERROR at setup of test_login_is_rate_limited _________________\n"
             "redis.exceptions.ConnectionError: Error 111 connecting to localhost:6379. Connection refused.\n"
             "1 error, 2 passed in 0.41s"),
        ),
        assistant(
            "The new test cannot reach Redis: nothing listens on localhost:6379 in the test "
            "environment. tests/conftest.py already has a fakeredis fixture for the session store, "
            "so the limiter should take its client from there instead of opening its own pool."
        ),
        user("Yes, use the fixture from conftest, don't start a real Redis in CI."),
        *turn(
            "Switching the limiter to the shared client and rerunning.",
            (call("edit_file", path="app/ratelimit.py", old="pool = redis.from_url(REDIS_URL)",
                  new="pool = get_redis()  # the app's shared client; the fakeredis fixture in tests"),
             "Edited app/ratelimit.py: 1 replacement."),
            (call("shell", command="pytest -q tests/test_auth.py"),
             "....\n4 passed in 0.38s"),
        ),
        assistant(
            "All 4 auth tests pass, including the new test_login_is_rate_limited, which makes 6 "
            "attempts and expects 429 with a Retry-After header on the sixth. Next I'll document "
            "the 429 answer in docs/api.md and then ask whether internal health checks from "
            "10.0.0.0/8 should be exempt from the limit."
        ),
    ]
    return Case(
        "login-rate-limit",
        messages,
        goals=[("rate limit", "login"), ("5 attempts", "minute"), ("429", "retry-after"),
               ("redis",), ("new dependency",)],
        paths=["app/routes/auth.py", "app/settings.py", "app/ratelimit.py", "tests/test_auth.py",
               "tests/conftest.py", "docs/api.md"],
        decisions=[("fixed window",), ("fakeredis",)],
        blockers=[("6379",)],
    )


def _order_archive_migration() -> Case:
    messages = [
        system("You are an agent with shell access to the billing service repository."),
        user(
            "We need an archived_at timestamp column on the orders table so support can hide old "
            "orders. Production is PostgreSQL 14 with about 80 million rows in orders, and there "
            "must be no downtime: the table cannot be locked for more than a second or two."
        ),
        *turn(
            "I'll check the model and the current migration heads.",
            (call("read_file", nested=False, path="billing/models/order.py"),
             "class Order(Base):\n    __tablename__ = 'orders'\n    id = Column(BigInteger, primary_key=True)\n"
             "    customer_id = Column(BigInteger, ForeignKey('customers.id'), nullable=False)\n"
             "    status = Column(String(20), nullable=False)\n    created_at = Column(DateTime, nullable=False)\n"),
            (call("shell", nested=False, command="alembic heads"),
             "3f1e9a7c2b10 (head)\nb7d2c4e8a911 (head)"),
        ),
        assistant(
            "There are two migration heads, 3f1e9a7c2b10 and b7d2c4e8a911, so alembic refuses to "
            "generate a new revision until they are merged."
        ),
        *turn(
            None,
            (call("shell", nested=False, command="alembic merge -m 'merge heads' 3f1e9a7c2b10 b7d2c4e8a911"),
             "Generating migrations/versions/5c8d0e2f4a61_merge_heads.py ...  done"),
            (call("shell", nested=False, command="alembic revision -m 'add orders.archived_at'"),
             "Generating migrations/versions/9a4b6c1d3e77_add_orders_archived_at.py ...  done"),
        ),
        assistant(
            "Decision: add archived_at as a nullable column with no default, which PostgreSQL 14 "
            "does as a metadata-only change without rewriting the table, and build the index with "
            "CREATE INDEX CONCURRENTLY in a separate migration outside a transaction. No backfill is "
            "needed because existing orders are simply not archived."
        ),
        *turn(
            None,
            (call("edit_file", path="migrations/versions/9a4b6c1d3e77_add_orders_archived_at.py",
                  new="op.add_column('orders', sa.Column('archived_at', sa.DateTime(timezone=True), nullable=True))"),
             "Edited migrations/versions/9a4b6c1d3e77_add_orders_archived_at.py"),
            (call("edit_file", path="billing/models/order.py",
                  new="    archived_at = Column(DateTime(timezone=True), nullable=True)"),
             "Edited billing/models/order.py"),
        ),
        *turn(
            "Running the migration against the staging copy to time the lock.",
            (call("shell", command="alembic upgrade head --sql | psql $STAGING_DB_URL"),
             "ALTER TABLE\nERROR:  canceling statement due to lock timeout\n"
             "CONTEXT:  while waiting for AccessExclusiveLock on relation \"orders\""),
        ),
        assistant(
            "The ALTER TABLE was cancelled by the 2 s lock_timeout: a long-running report query on "
            "staging held a lock on orders. The change itself is instant once it gets the lock, so "
            "the migration should retry on lock timeout instead of failing."
        ),
        user("Fine, retry up to 5 times with a short lock_timeout. Don't kill other sessions."),
        *turn(
            None,
            (call("edit_file", path="migrations/versions/9a4b6c1d3e77_add_orders_archived_at.py",
                  new="with_lock_retries(attempts=5, lock_timeout='2s')"),
             "Edited migrations/versions/9a4b6c1d3e77_add_orders_archived_at.py"),
            (call("shell", command="alembic upgrade head --sql | psql $STAGING_DB_URL"),
             "SET\nALTER TABLE\nattempt 2 of 5 succeeded after 1 lock timeout"),
        ),
        assistant(
            "The column is on staging after one retry. Remaining: write the second migration with "
            "CREATE INDEX CONCURRENTLY ix_orders_archived_at, then open a merge request for the "
            "billing team to review before the Thursday deploy."
        ),
    ]
    return Case(
        "order-archive-migration",
        messages,
        goals=[("archived_at", "orders"), ("no downtime",), ("postgresql 14",)],
        paths=["billing/models/order.py", "migrations/versions/9a4b6c1d3e77_add_orders_archived_at.py",
               "migrations/versions/5c8d0e2f4a61_merge_heads.py"],
        decisions=[("nullable",), ("concurrently",), ("retry",)],
        blockers=[("two migration heads",), ("lock timeout",)],
    )


def _react_upgrade() -> Case:
    messages = [
        system("You are a front-end agent in the web-dashboard repository (Vite, TypeScript)."),
        user(
            "Upgrade the dashboard from React 17 to React 18 and make sure the production build "
            "still passes. Keep the bundle under 400 kB gzipped, the budget check in CI fails above that."
        ),
        *turn(
            "Checking the current dependencies.",
            (call("read_file", path="package.json"),
             '{\n  "name": "web-dashboard",\n  "dependencies": {\n    "react": "17.0.2",\n'
             '    "react-dom": "17.0.2",\n    "react-beautiful-dnd": "13.1.1",\n    "recharts": "2.5.0"\n  }\n}'),
        ),
        *turn(
            None,
            (call("shell", command="npm install react@18.2.0 react-dom@18.2.0"),
             "npm ERR! code ERESOLVE\nnpm ERR! ERESOLVE unable to resolve dependency tree\n"
             "npm ERR! peer react@\"^16.8.5 || ^17.0.0\" from react-beautiful-dnd@13.1.1\n"
             "npm ERR! Fix the upstream dependency conflict, or retry with --force"),
        ),
        assistant(
            "npm refuses the upgrade: react-beautiful-dnd 13.1.1 only allows React 16 and 17 as a "
            "peer, and the library is no longer maintained. Two ways out: install with "
            "--legacy-peer-deps and hope it works, or move to @hello-pangea/dnd, a maintained fork "
            "with the same API that supports React 18."
        ),
        user("Go with the fork. No --legacy-peer-deps or --force hacks in this repo."),
        *turn(
            "Replacing the drag-and-drop library and upgrading React.",
            (call("shell", command="npm uninstall react-beautiful-dnd && npm install @hello-pangea/dnd@16.5.0 react@18.2.0 react-dom@18.2.0"),
             "added 3 packages, removed 4 packages, changed 2 packages in 6s"),
            (call("shell", command="grep -rl react-beautiful-dnd src"),
             "src/components/Board.tsx\nsrc/components/Column.tsx"),
        ),
        *turn(
            None,
            (call("edit_file", nested=False, path="src/components/Board.tsx",
                  old="from 'react-beautiful-dnd'", new="from '@hello-pangea/dnd'"),
             "Edited src/components/Board.tsx: 1 replacement."),
            (call("edit_file", nested=False, path="src/components/Column.tsx",
                  old="from 'react-beautiful-dnd'", new="from '@hello-pangea/dnd'"),
             "Edited src/components/Column.tsx: 1 replacement."),
            (call("edit_file", nested=False, path="src/main.tsx",
                  old="ReactDOM.render(<App />, document.getElementById('root'))",
                  new="createRoot(document.getElementById('root')!).render(<App />)"),
             "Edited src/main.tsx: 1 replacement."),
        ),
        *turn(
            "Building for production.",
            (call("shell", command="npm run build && npx size-limit"),
             "vite v4.5.0 building for production...\n✓ 1412 modules transformed.\n"
             "dist/assets/index-4c1a2b.js  1,208.33 kB │ gzip: 412.87 kB\n"
             "Size limit: 400 kB\nSize:       412.87 kB with all dependencies, minified and gzipped\n"
             "error: Size limit has been exceeded by 12.87 kB"),
        ),
        assistant(
            "The build works but the bundle is 412.87 kB gzipped, 12.87 kB over the 400 kB budget. "
            "recharts is the biggest chunk and only the Reports page uses it, so I'll load that page "
            "with React.lazy to split recharts into its own chunk."
        ),
        *turn(
            None,
            (call("edit_file", path="src/routes.tsx",
                  new="const Reports = lazy(() => import('./pages/Reports'))"),
             "Edited src/routes.tsx: 1 replacement."),
            (call("shell", command="npm run build && npx size-limit"),
             "dist/assets/index-9e3f10.js  801.12 kB │ gzip: 268.40 kB\n"
             "dist/assets/Reports-77ab21.js  402.90 kB │ gzip: 139.02 kB\nSize:       268.4 kB\nPassed"),
        ),
        assistant(
            "The main bundle is now 268.4 kB gzipped and the size check passes. Next: run the "
            "Playwright suite in e2e/ to check drag and drop on the board, then open the pull request."
        ),
    ]
    return Case(
        "react-upgrade",
        messages,
        goals=[("react 18",), ("400 kb",)],
        paths=["package.json", "src/components/Board.tsx", "src/components/Column.tsx", "src/main.tsx",
               "src/routes.tsx"],
        decisions=[("hello-pangea",), ("lazy",)],
        blockers=[("react-beautiful-dnd", "peer"), ("412.87",)],
    )


def _memory_leak_german() -> Case:
    messages = [
        system("Du bist ein Agent mit Zugriff auf das Repository des Dienstes geo-router (Go)."),
        user(
            "Der Speicher von geo-router wächst seit dem Release v2.14.0 um etwa 300 MB pro Stunde, "
            "bis Kubernetes den Pod nach rund sechs Stunden mit OOMKilled beendet. Finde die Ursache "
            "und behebe sie. Starte die Produktions-Pods während der Geschäftszeiten nicht neu."
        ),
        *turn(
            "I'll compare a heap profile from production with the changes since v2.13.0.",
            (call("shell", command="go tool pprof -top -inuse_space https://geo-router.internal:6060/debug/pprof/heap"),
             "Showing nodes accounting for 1.71GB, 96.20% of 1.78GB total\n"
             "      flat  flat%   sum%        cum   cum%\n"
             "    1.52GB 85.39% 85.39%     1.52GB 85.39%  geo-router/internal/cache.(*TileCache).Put\n"
             "    0.12GB  6.74% 92.13%     0.12GB  6.74%  encoding/json.(*decodeState).literalStore"),
            (call("shell", command="git log --oneline v2.13.0..v2.14.0 -- internal/cache"),
             "a91c3e0 cache: keep decoded tiles in memory to skip re-decoding (Lena Vogt)"),
        ),
        assistant(
            "85% of the live heap sits in TileCache.Put in internal/cache/tile_cache.go, added by "
            "commit a91c3e0 in v2.14.0. The cache is a plain map with no eviction at all, so every "
            "tile ever requested stays in memory."
        ),
        *turn(
            None,
            (call("read_file", nested=False, path="internal/cache/tile_cache.go"),
             "type TileCache struct {\n\tmu    sync.Mutex\n\ttiles map[TileKey]*Tile\n}\n\n"
             "func (c *TileCache) Put(k TileKey, t *Tile) {\n\tc.mu.Lock()\n\tc.tiles[k] = t\n\tc.mu.Unlock()\n}\n"),
        ),
        user(
            "Keine neue Bibliothek dafür, bitte. Eine einfache LRU-Grenze reicht, die Kacheln "
            "lassen sich jederzeit neu dekodieren."
        ),
        assistant(
            "Decision: bound TileCache with a hand-written LRU (container/list plus the map) capped "
            "at 20000 tiles, about 400 MB, instead of pulling in a cache library."
        ),
        *turn(
            None,
            (call("write_file", nested=False, path="internal/cache/tile_cache.go",
                  content="// TileCache keeps at most maxTiles decoded tiles, evicting the least recently used.\n"),
             "Wrote internal/cache/tile_cache.go"),
            (call("write_file", nested=False, path="internal/cache/tile_cache_test.go",
                  content="func TestTileCacheEvictsOldest(t *testing.T) { ... }\n"),
             "Wrote internal/cache/tile_cache_test.go"),
            (call("shell", command="go test ./internal/cache/ -race -count=1"),
             "--- FAIL: TestTileCacheEvictsOldest (0.00s)\n    tile_cache_test.go:31: len = 20001, want 20000\nFAIL\n"
             "FAIL\tgeo-router/internal/cache\t0.012s"),
        ),
        assistant(
            "Off by one: Put evicts before inserting only when the key is new, but checks the length "
            "before the insert. Fixing the comparison to evict while len >= maxTiles."
        ),
        *turn(
            None,
            (call("edit_file", path="internal/cache/tile_cache.go",
                  old="if len(c.tiles) > c.maxTiles", new="for len(c.tiles) >= c.maxTiles"),
             "Edited internal/cache/tile_cache.go: 1 replacement."),
            (call("shell", command="go test ./internal/cache/ -race -count=1"),
             "ok  \tgeo-router/internal/cache\t0.019s"),
        ),
        assistant(
            "The cache tests pass with the race detector. Next: deploy the fix to the canary pod "
            "after 18:00, outside business hours, and watch its memory for two hours before rolling out."
        ),
    ]
    return Case(
        "memory-leak-german",
        messages,
        goals=[("geo-router",), ("300 mb",), ("geschäftszeiten",)],
        paths=["internal/cache/tile_cache.go", "internal/cache/tile_cache_test.go"],
        decisions=[("lru",), ("20000",)],
        blockers=[("no eviction",), ("20001",)],
        notes="The user writes German, the assistant English.",
    )


def _flaky_ci() -> Case:
    messages = [
        system("You are a CI agent for the python-sdk repository."),
        user(
            "test_upload_retries_on_503 fails on about one CI run in five, always on the macOS runner. "
            "Make it deterministic. We support Python 3.9 to 3.13, and I'd rather not add test "
            "dependencies for this."
        ),
        *turn(
            "Looking at the test and the retry code.",
            (call("read_file", path="tests/test_upload.py"),
             "def test_upload_retries_on_503(server):\n    server.fail_next(2, status=503)\n"
             "    started = time.time()\n    client.upload(b'x' * 1024)\n"
             "    assert time.time() - started < 1.5\n"),
            (call("read_file", path="src/sdk/retry.py"),
             "def backoff(attempt):\n    return min(0.25 * 2 ** attempt, 8.0) + random.uniform(0, 0.25)\n\n"
             "def call_with_retries(fn, attempts=3):\n    for attempt in range(attempts):\n        ...\n"
             "        time.sleep(backoff(attempt))\n"),
        ),
        assistant(
            "The test measures wall-clock time around real sleeps: two retries sleep between 0.75 s "
            "and 1.25 s in total, and the slower macOS runners push the total over the 1.5 s bound. "
            "The root cause is the real time.sleep with random jitter inside the test."
        ),
        *turn(
            None,
            (call("shell", command="pip install freezegun && pytest tests/test_upload.py -q"),
             "ERROR: Could not find a version that satisfies the requirement freezegun (from versions: none)\n"
             "ERROR: No matching distribution found for freezegun"),
        ),
        assistant(
            "The CI image has no network access to PyPI, so freezegun is not an option anyway. I'll "
            "inject the sleep function instead: call_with_retries takes a sleep= parameter that "
            "defaults to time.sleep, and the test passes a fake that records the delays."
        ),
        *turn(
            None,
            (call("edit_file", nested=False, path="src/sdk/retry.py",
                  old="def call_with_retries(fn, attempts=3):",
                  new="def call_with_retries(fn, attempts=3, sleep=time.sleep):"),
             "Edited src/sdk/retry.py: 1 replacement."),
            (call("edit_file", nested=False, path="tests/test_upload.py",
                  old="assert time.time() - started < 1.5",
                  new="assert delays == [pytest.approx(0.25, abs=0.25), pytest.approx(0.5, abs=0.25)]"),
             "Edited tests/test_upload.py: 1 replacement."),
            (call("shell", command="python -m pytest tests/test_upload.py -q -p no:randomly --count 50"),
             "50 passed in 0.92s"),
        ),
        user("Nice. Does it still work on 3.9?"),
        *turn(
            "Checking with the oldest supported interpreter.",
            (call("shell", command="tox -e py39 -- tests/test_upload.py"),
             "py39: commands[0]> pytest tests/test_upload.py\n"
             "TypeError: unsupported operand type(s) for |: 'type' and 'NoneType'\n"
             "  File \"src/sdk/retry.py\", line 12: def call_with_retries(fn, attempts=3, sleep: Callable | None = None)\n"
             "py39: FAIL code 1"),
        ),
        assistant(
            "Python 3.9 fails on the `Callable | None` annotation, which needs 3.10. I'll add "
            "`from __future__ import annotations` to src/sdk/retry.py rather than switch to Optional, "
            "matching the rest of the package."
        ),
        *turn(
            None,
            (call("edit_file", path="src/sdk/retry.py", new="from __future__ import annotations"),
             "Edited src/sdk/retry.py"),
            (call("shell", command="tox -e py39,py313 -- tests/test_upload.py"),
             "py39: OK (1.31 seconds)\npy313: OK (1.02 seconds)\ncongratulations :)"),
        ),
        assistant(
            "Both py39 and py313 pass. Next I'll push the branch fix/deterministic-retry-test and "
            "re-run the macOS job of .github/workflows/ci.yml ten times to confirm."
        ),
    ]
    return Case(
        "flaky-ci",
        messages,
        goals=[("test_upload_retries_on_503",), ("deterministic",), ("3.9",), ("test dependencies",)],
        paths=["tests/test_upload.py", "src/sdk/retry.py", ".github/workflows/ci.yml"],
        decisions=[("inject", "sleep"), ("__future__",)],
        blockers=[("freezegun",), ("3.9", "callable")],
    )


def _helm_rollout() -> Case:
    messages = [
        system("You are an ops agent with kubectl and helm access to the staging cluster."),
        user(
            "payments-gateway on staging is stuck after this morning's deploy, half the pods "
            "never become ready. Get it healthy again. Stay out of the prod namespace."
        ),
        *turn(
            None,
            (call("run_terminal_cmd", command="kubectl -n staging get pods -l app=payments-gateway"),
             "NAME                                READY   STATUS             RESTARTS   AGE\n"
             "payments-gateway-7d9f8c6b54-2xkqz   1/1     Running            0          3h\n"
             "payments-gateway-5c4b9d7f66-h8s2l   0/1     ImagePullBackOff   0          41m\n"
             "payments-gateway-5c4b9d7f66-q9w7m   0/1     ImagePullBackOff   0          41m"),
        ),
        *turn(
            "## Findings\n\nThe new ReplicaSet 5c4b9d7f66 cannot pull its image. Checking the event.",
            (call("run_terminal_cmd",
                  command="kubectl -n staging describe pod payments-gateway-5c4b9d7f66-h8s2l | tail -5"),
             "Warning  Failed   41m (x12 over 3h)  kubelet  Failed to pull image "
             "\"registry.acme.dev/payments/gateway:latest\": manifest unknown\n"
             "Warning  BackOff  2m (x180 over 41m)  kubelet  Back-off pulling image"),
        ),
        assistant(
            "The chart deploys `gateway:latest`, and the registry no longer has a manifest under "
            "that tag (the nightly cleanup job removed it). Options:\n"
            "- retag the last good image as latest\n"
            "- pin the chart to an immutable digest\n\n"
            "Pinning by digest is the safer fix, since latest will be cleaned up again tonight."
        ),
        user("pin it. the last good build is 2.8.3"),
        *turn(
            None,
            (call("read", path="deploy/charts/payments-gateway/values-staging.yaml"),
             "image:\n  repository: registry.acme.dev/payments/gateway\n  tag: latest\nreplicas: 3\n"),
            (call("run_terminal_cmd",
                  command="crane digest registry.acme.dev/payments/gateway:2.8.3"),
             "sha256:9f2b61c0d4e8a7b35c1e0f6a2d9b8c7e4f3a1b0c9d8e7f6a5b4c3d2e1f0a9b8c7"),
        ),
        *turn(
            "**Plan:** set the digest in values-staging.yaml and roll out with helm.",
            (call("apply_patch", path="deploy/charts/payments-gateway/values-staging.yaml",
                  patch="-  tag: latest\n+  digest: sha256:9f2b61c0d4e8a7b35c1e0f6a2d9b8c7e4f3a1b0c9d8e7f6a5b4c3d2e1f0a9b8c7"),
             "Patched deploy/charts/payments-gateway/values-staging.yaml"),
            (call("run_terminal_cmd",
                  command="helm upgrade payments-gateway deploy/charts/payments-gateway -n staging "
                          "-f deploy/charts/payments-gateway/values-staging.yaml"),
             "Error: UPGRADE FAILED: template: payments-gateway/templates/deployment.yaml:31:28: "
             "executing \"payments-gateway/templates/deployment.yaml\" at <.Values.image.tag>: "
             "nil pointer evaluating interface {}.tag"),
        ),
        assistant(
            "The deployment template only knows image.tag, so the upgrade broke on the missing "
            "value. I'll teach templates/deployment.yaml to use image.digest when it is set and "
            "fall back to the tag otherwise."
        ),
        *turn(
            None,
            (call("apply_patch", path="deploy/charts/payments-gateway/templates/deployment.yaml",
                  patch="+ image: {{ .Values.image.repository }}{{ if .Values.image.digest }}@{{ .Values.image.digest }}"
                        "{{ else }}:{{ .Values.image.tag }}{{ end }}"),
             "Patched deploy/charts/payments-gateway/templates/deployment.yaml"),
            (call("run_terminal_cmd",
                  command="helm upgrade payments-gateway deploy/charts/payments-gateway -n staging "
                          "-f deploy/charts/payments-gateway/values-staging.yaml && "
                          "kubectl -n staging rollout status deploy/payments-gateway --timeout=120s"),
             "Release \"payments-gateway\" has been upgraded. Happy Helming!\n"
             "deployment \"payments-gateway\" successfully rolled out"),
        ),
        assistant(
            "Staging is healthy: 3/3 pods ready on 2.8.3 by digest.\n\n"
            "Still open:\n"
            "1. ask the platform team to exclude images referenced by a release from the nightly cleanup\n"
            "2. port the same template change to the prod chart through a reviewed PR (I did not touch prod)"
        ),
    ]
    return Case(
        "helm-rollout",
        messages,
        goals=[("payments-gateway",), ("prod namespace",)],
        paths=["deploy/charts/payments-gateway/values-staging.yaml",
               "deploy/charts/payments-gateway/templates/deployment.yaml"],
        decisions=[("digest",), ("2.8.3",)],
        blockers=[("imagepullbackoff",), ("manifest unknown",), ("nil pointer",)],
        notes="Held out: written after the extraction rules were frozen.",
    )


def _csv_import_encoding() -> Case:
    messages = [
        system("Agent for the crm-importer project (Python 3.12, pandas)."),
        user(
            "Customers keep reporting that imports of their CSV exports crash. Two of the failing "
            "files are in samples/failing/. Can you get those to import correctly? We can't add new "
            "packages to this service right now, the security review for dependencies takes weeks."
        ),
        *turn(
            "Reproducing with the two samples.",
            (call("python", nested=False,
                  code="from importers.csv_loader import load; load('samples/failing/kunden_export.csv')"),
             "Traceback (most recent call last):\n  File \"importers/csv_loader.py\", line 18, in load\n"
             "    frame = pd.read_csv(path)\nUnicodeDecodeError: 'utf-8' codec can't decode byte 0xfc in "
             "position 2231: invalid start byte"),
            (call("python", nested=False,
                  code="from importers.csv_loader import load; load('samples/failing/export_excel.csv')"),
             "Traceback (most recent call last):\n  File \"importers/csv_loader.py\", line 24, in load\n"
             "    raise KeyError('email')\nKeyError: 'email'"),
        ),
        assistant(
            "Two separate problems. kunden_export.csv is Windows-1252 (0xfc is ü), and "
            "export_excel.csv is UTF-8 with a BOM, so its first header comes out as '\\ufeffemail' "
            "and the email column is never found."
        ),
        assistant(
            "Approach: decode as utf-8-sig first, which handles both plain UTF-8 and the BOM, and "
            "fall back to cp1252 only on a UnicodeDecodeError. That needs nothing outside the "
            "standard library; charset detection libraries are out because of the dependency freeze."
        ),
        *turn(
            None,
            (call("edit", nested=False, path="importers/csv_loader.py",
                  old="frame = pd.read_csv(path)",
                  new="frame = _read_with_fallback(path, encodings=('utf-8-sig', 'cp1252'))"),
             "ok: importers/csv_loader.py updated"),
            (call("python", nested=False, code="import pytest; pytest.main(['-q', 'tests/test_csv_loader.py'])"),
             "......F\nFAILED tests/test_csv_loader.py::test_semicolon_delimited - AssertionError: "
             "assert 1 == 4 (columns)\n1 failed, 6 passed in 0.57s"),
        ),
        assistant(
            "One existing test broke: test_semicolon_delimited gets a single column. The old code "
            "sniffed the delimiter from the decoded text and my helper skipped that step; restoring "
            "the csv.Sniffer call inside _read_with_fallback."
        ),
        *turn(
            None,
            (call("edit", nested=False, path="importers/csv_loader.py",
                  new="dialect = csv.Sniffer().sniff(text[:4096], delimiters=',;\\t')"),
             "ok: importers/csv_loader.py updated"),
            (call("python", nested=False, code="import pytest; pytest.main(['-q', 'tests/test_csv_loader.py'])"),
             "........\n8 passed in 0.61s"),
        ),
        user("great. does kunden_export.csv keep the umlauts?"),
        *turn(
            None,
            (call("python", nested=False,
                  code="from importers.csv_loader import load; print(load('samples/failing/kunden_export.csv')"
                       ".loc[3, 'city'])"),
             "München"),
        ),
        assistant(
            "Yes, row 3 reads München. Both samples import now and the test suite is green. I'd "
            "still add the two files as regression fixtures under tests/fixtures/ and put a line "
            "in CHANGELOG.md before this goes out."
        ),
    ]
    return Case(
        "csv-import-encoding",
        messages,
        goals=[("csv",), ("new packages",)],
        paths=["importers/csv_loader.py", "samples/failing/kunden_export.csv",
               "samples/failing/export_excel.csv", "tests/test_csv_loader.py"],
        decisions=[("utf-8-sig", "cp1252"), ("sniffer",)],
        blockers=[("unicodedecodeerror",), ("bom",), ("test_semicolon_delimited",)],
        notes="Held out: written after the extraction rules were frozen.",
    )


CASES: tuple[Case, ...] = (
    _login_rate_limit(),
    _order_archive_migration(),
    _react_upgrade(),
    _memory_leak_german(),
    _flaky_ci(),
)
# Written after the extraction rules were settled and never used to tune
# them: their figures say how the rules do on conversations they were not
# fitted to.
HELD_OUT: tuple[Case, ...] = (
    _helm_rollout(),
    _csv_import_encoding(),
)
ALL_CASES: tuple[Case, ...] = CASES + HELD_OUT


def case(name: str) -> Case:
    return next(c for c in ALL_CASES if c.name == name)


# ---------------------------------------------------------------- long conversations

_ROUTINE_FILES = (
    "src/util/strings.py", "src/util/dates.py", "src/api/handlers.py", "src/api/schemas.py",
    "src/db/session.py", "tests/test_handlers.py", "tests/test_schemas.py", "README.md",
)
_ROUTINE_NOTES = (
    "That file looks fine; nothing related here.",
    "No change needed in this module.",
    "The helper is only used by the handlers, moving on.",
    "This part is unrelated to the task.",
)


def routine_work(rng: random.Random, count: int) -> list[Message]:
    """``count`` messages of ordinary tool work that settles nothing: file
    reads, searches and passing test runs, with a short remark now and then."""
    out: list[Message] = []
    while len(out) < count:
        kind = rng.random()
        if kind < 0.15 and count - len(out) >= 1:
            out.append(assistant(rng.choice(_ROUTINE_NOTES)))
            continue
        path = rng.choice(_ROUTINE_FILES)
        if kind < 0.55:
            pair = (call("read_file", nested=rng.random() < 0.7, path=path),
                    "\n".join(f"line {i}: value = compute({i})" for i in range(rng.randint(5, 60))))
        elif kind < 0.8:
            pair = (call("search", query=f"def {rng.choice(['parse', 'load', 'dump', 'check'])}"),
                    "\n".join(f"{rng.choice(_ROUTINE_FILES)}:{rng.randint(1, 400)}: def parse(x):"
                              for _ in range(rng.randint(1, 12))))
        else:
            pair = (call("shell", command=f"pytest -q {rng.choice(_ROUTINE_FILES[5:7])}"),
                    f"{'.' * rng.randint(3, 40)}\n{rng.randint(3, 40)} passed in 0.{rng.randint(10, 99)}s")
        if count - len(out) < 2:
            out.append(assistant(rng.choice(_ROUTINE_NOTES)))
            continue
        out.extend(turn(None, pair))
    return out[:count]


def long_conversation(base: Case, messages: int, seed: int = 0) -> list[Message]:
    """``base``'s conversation stretched to ``messages`` messages.

    Routine tool work is spread between the base's turns (never between an
    assistant's tool calls and their results), so every fact of the base is
    still in it and in the same order. With fewer messages than the base
    has, the base's first messages are returned.
    """
    rng = random.Random(seed)
    units = _units(base.messages)
    filler = max(messages - len(base.messages), 0)
    gaps = len(units) - 1
    out: list[Message] = []
    for index, unit in enumerate(units):
        out.extend(unit)
        if index < gaps and filler:
            share = filler // gaps + (1 if index < filler % gaps else 0)
            out.extend(routine_work(rng, share))
    return out[:messages]


def _units(messages: Sequence[Message]) -> list[list[Message]]:
    """The messages grouped so that tool results stay with their call."""
    units: list[list[Message]] = []
    for message in messages:
        if message["role"] == "tool" and units:
            units[-1].append(message)
        else:
            units.append([message])
    return units
