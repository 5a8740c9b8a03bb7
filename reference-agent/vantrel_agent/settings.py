"""Everything the agent takes from its environment, read once at start."""

from dataclasses import dataclass
from typing import Mapping, Optional


class SettingsError(ValueError):
    """A variable holds a value the agent cannot use."""


@dataclass(frozen=True)
class Settings:
    state_path: str
    spool_path: str
    api: str
    agent_type: str
    port: int
    interval: float
    paired: bool
    exit_status: Optional[int]
    ignore_term: bool
    listen_delay: float
    invalid_utf8: bool
    endless_line: int
    quiet: bool
    child: bool
    diag_seconds: float
    diag_error: str
    diag_empty: bool
    diag_malformed: bool

    @classmethod
    def from_env(cls, env: Mapping[str, str]) -> "Settings":
        reader = _Reader(env)
        return cls(
            state_path=env.get("AGENT_STATE", ""),
            spool_path=env.get("AGENT_SPOOL", ""),
            api=env.get("VANTREL_API", ""),
            agent_type=env.get("VANTREL_AGENT_TYPE", ""),
            port=reader.integer("VANTREL_SIM_PORT", 8787, 1, 65535),
            interval=reader.seconds("VANTREL_SIM_INTERVAL", 2.0, positive=True),
            paired=reader.flag("VANTREL_SIM_PAIRED"),
            exit_status=reader.integer("VANTREL_SIM_EXIT", None, 0, 255),
            ignore_term=reader.flag("VANTREL_SIM_IGNORE_TERM"),
            listen_delay=reader.seconds("VANTREL_SIM_LISTEN_DELAY", 0.0),
            invalid_utf8=reader.flag("VANTREL_SIM_INVALID_UTF8"),
            endless_line=reader.integer("VANTREL_SIM_ENDLESS_LINE", 0, 0, None),
            quiet=reader.flag("VANTREL_SIM_QUIET"),
            child=reader.flag("VANTREL_SIM_CHILD"),
            diag_seconds=reader.seconds("VANTREL_SIM_DIAG_SECONDS", 3.0),
            diag_error=env.get("VANTREL_SIM_DIAG_ERROR", ""),
            diag_empty=reader.flag("VANTREL_SIM_DIAG_EMPTY"),
            diag_malformed=reader.flag("VANTREL_SIM_DIAG_MALFORMED"),
        )


class _Reader:
    """Parses the knobs strictly, so that a typo in a test's environment fails loudly."""

    def __init__(self, env: Mapping[str, str]):
        self._env = env

    def flag(self, name: str) -> bool:
        value = self._env.get(name, "")
        if value not in ("", "0", "1"):
            raise SettingsError(f"{name} must be 0 or 1, not {value!r}")
        return value == "1"

    def integer(self, name, default, lowest, highest):
        value = self._env.get(name, "")
        if value == "":
            return default
        try:
            number = int(value)
        except ValueError:
            raise SettingsError(f"{name} must be a whole number, not {value!r}") from None
        if number < lowest or (highest is not None and number > highest):
            raise SettingsError(f"{name} is out of range: {number}")
        return number

    def seconds(self, name: str, default: float, positive: bool = False) -> float:
        value = self._env.get(name, "")
        if value == "":
            return default
        try:
            number = float(value)
        except ValueError:
            raise SettingsError(f"{name} must be a number of seconds, not {value!r}") from None
        if not number >= 0 or (positive and number == 0) or number == float("inf"):
            raise SettingsError(f"{name} is out of range: {value}")
        return number
