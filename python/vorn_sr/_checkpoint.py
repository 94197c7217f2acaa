"""Checkpoint files of VornRegressor: the search's state after every finished
level, written atomically, and read back to continue the search.

A file is, all integers little-endian:

    b"VORNCKPT"            magic
    u32                    format version
    u32, bytes             length and UTF-8 JSON of the header: the vorn_sr
                           version, the strategy, the search settings and a
                           SHA-256 of the data it was written for
    u64, bytes             length and bytes of the engine's search state
    32 bytes               SHA-256 of everything before it

The checksum catches a torn or corrupted file before anything of it is used;
the engine validates the state on its own as well.
"""

from __future__ import annotations

import hashlib
import json
import os
import struct
import tempfile

import numpy as np

MAGIC = b"VORNCKPT"
# Bumped whenever the layout changes; files of a newer format are refused.
FORMAT_VERSION = 1

_PREFIX = struct.Struct("<8sII")
_STATE_LENGTH = struct.Struct("<Q")
_DIGEST_BYTES = 32
_HEADER_KEYS = ("vorn_sr", "strategy", "settings", "data")


def vorn_sr_version():
    try:
        from importlib.metadata import version

        return version("vorn_sr")
    except Exception:  # not installed as a distribution (a source tree)
        return "unknown"


def data_digest(X, y):
    """SHA-256 of the data's shape and little-endian float64 values."""
    digest = hashlib.sha256()
    digest.update(struct.pack("<QQ", *X.shape))
    digest.update(np.ascontiguousarray(X, dtype="<f8").tobytes())
    digest.update(np.ascontiguousarray(y, dtype="<f8").tobytes())
    return digest.hexdigest()


def header(strategy, settings, digest):
    return {"vorn_sr": vorn_sr_version(), "strategy": strategy, "settings": settings, "data": digest}


def encode(head, state):
    text = json.dumps(head, sort_keys=True).encode("utf-8")
    body = b"".join(
        [_PREFIX.pack(MAGIC, FORMAT_VERSION, len(text)), text, _STATE_LENGTH.pack(len(state)), state]
    )
    return body + hashlib.sha256(body).digest()


def decode(blob, path):
    """(header, state) of a checkpoint file's bytes; ValueError naming `path`
    when they are not a whole, uncorrupted checkpoint this vorn_sr reads."""

    def refuse(why):
        return ValueError(f"The checkpoint {path!r} {why}; delete it to start a new search.")

    if len(blob) < _PREFIX.size or blob[: len(MAGIC)] != MAGIC:
        raise refuse("is not a vorn_sr checkpoint")
    _, version, header_length = _PREFIX.unpack_from(blob)
    if version > FORMAT_VERSION:
        raise ValueError(
            f"The checkpoint {path!r} was written in format version {version}, but this vorn_sr reads "
            f"formats up to version {FORMAT_VERSION}; upgrade vorn_sr to resume it."
        )
    if version != FORMAT_VERSION:
        raise refuse(f"is in an unknown format version {version}")
    if len(blob) < _DIGEST_BYTES or hashlib.sha256(blob[:-_DIGEST_BYTES]).digest() != blob[-_DIGEST_BYTES:]:
        raise refuse("is truncated or corrupted (its checksum does not match)")
    position = _PREFIX.size + header_length
    if position + _STATE_LENGTH.size > len(blob) - _DIGEST_BYTES:
        raise refuse("is truncated")
    (state_length,) = _STATE_LENGTH.unpack_from(blob, position)
    position += _STATE_LENGTH.size
    if position + state_length != len(blob) - _DIGEST_BYTES:
        raise refuse("is truncated or padded")
    try:
        head = json.loads(blob[_PREFIX.size : _PREFIX.size + header_length].decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        raise refuse("has an unreadable header") from None
    if not isinstance(head, dict) or any(key not in head for key in _HEADER_KEYS):
        raise refuse("has an incomplete header")
    if not isinstance(head["settings"], dict):
        raise refuse("has an unreadable header")
    return head, bytes(blob[position : position + state_length])


def differences(saved, current):
    """What differs between a checkpoint's header and this fit's, as phrases
    (empty when the checkpoint was written for this very search)."""
    found = []
    if saved["vorn_sr"] != current["vorn_sr"]:
        found.append(f"it was written by vorn_sr {saved['vorn_sr']}, this is vorn_sr {current['vorn_sr']}")
    if saved["data"] != current["data"]:
        found.append("it was written for other data")
    if saved["strategy"] != current["strategy"]:
        found.append(f"it was written with strategy={saved['strategy']!r}, this fit has {current['strategy']!r}")
    names = sorted(set(saved["settings"]) | set(current["settings"]))
    changed = [
        f"{name} ({saved['settings'].get(name)!r} there, {current['settings'].get(name)!r} here)"
        for name in names
        if saved["settings"].get(name) != current["settings"].get(name)
    ]
    if changed:
        found.append("its settings differ: " + ", ".join(changed))
    return found


def read(path):
    """The file's bytes, or None when there is no file."""
    try:
        with open(path, "rb") as file:
            return file.read()
    except FileNotFoundError:
        return None


def write_atomic(path, blob):
    """Writes `blob` to `path` so that a crash at any moment leaves either the
    previous file or the new one, never a torn one: a temporary file in the
    same directory, fsync, then an atomic rename over the old file. An
    OSError names `path`."""
    directory = os.path.dirname(os.path.abspath(path))
    temporary = None
    try:
        descriptor, temporary = tempfile.mkstemp(
            prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=directory
        )
        with os.fdopen(descriptor, "wb") as file:
            file.write(blob)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
        temporary = None
        _sync_directory(directory)
    except OSError as error:
        raise type(error)(error.errno, f"Cannot write the checkpoint: {error.strerror or error}", path) from error
    finally:
        if temporary is not None:
            try:
                os.unlink(temporary)
            except OSError:
                pass


def _sync_directory(directory):
    # The rename itself reaches the disk only once the directory does; not
    # every platform can open a directory, and then the rename has to do.
    try:
        descriptor = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass
    finally:
        os.close(descriptor)
