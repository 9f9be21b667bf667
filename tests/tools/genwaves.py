"""The genwave processes of a shared-memory namespace: a test that started
sources in a namespace of its own stops them, and only them, when it ends."""

import os


def genwaves(namespace, prefix=False):
    """The genwaves of a namespace (of every namespace that begins so)."""
    out = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if not f.read().split(b"\0")[0].endswith(b"genwave"):
                    continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                entry = f"KELMO_SHM_NAMESPACE={namespace}".encode()
                if any(e == entry or (prefix and e.startswith(entry)) for e in f.read().split(b"\0")):
                    out.append(int(pid))
        except OSError:
            pass
    return out
