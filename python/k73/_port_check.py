"""What the client can tell on its own side about a port no converter
answers on, in the words k73log uses: the port file "COMn" in the current
directory missing, a link to nothing, or a link to a remote port
(rfc2217://HOST:PORT) whose host does not answer."""

import os
import socket
import sys
from typing import Optional, Tuple

_ANSWER_S = 2.0


def _remote_target(target: str) -> Optional[Tuple[str, str]]:
    """(host, port) of rfc2217://HOST:PORT or rfc2217://[V6]:PORT, else None."""
    scheme = "rfc2217://"
    if not target.startswith(scheme):
        return None
    rest = target[len(scheme):]
    if rest.startswith("["):
        host, bracket, port = rest[1:].partition("]")
        if not bracket or not port.startswith(":"):
            return None
        port = port[1:]
    else:
        if rest.count(":") != 1:
            return None
        host, _, port = rest.partition(":")
    if not host or any(c in host for c in "/[]@ "):
        return None
    if not (1 <= len(port) <= 5 and port.isascii() and port.isdigit() and 1 <= int(port) <= 65535):
        return None
    return host, port


def _host_answers(host: str, port: str) -> bool:
    try:
        with socket.create_connection((host, int(port)), timeout=_ANSWER_S):
            return True
    except OSError:
        return False


def trouble_with(port: int) -> Optional[str]:
    """The reason, or None when nothing is wrong that the client can see."""
    if sys.platform == "win32":
        return None  # a COM port there is no file of the working folder
    name = "COM%d" % port
    if not os.path.lexists(name):
        return "there is no %s in the current directory" % name
    if not os.path.islink(name):
        return None
    target = os.readlink(name)
    remote = _remote_target(target)
    if remote is not None:
        return None if _host_answers(*remote) else \
            "%s links to %s, whose host does not answer" % (name, target)
    if not os.path.exists(name):
        return "%s links to %s, which does not exist" % (name, target)
    return None
