"""Loading the library, the catalogue, and the library's texts."""

import ctypes
import gc
import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import kelmo
from kelmo import _lib


def test_a_missing_library_names_every_place_tried(tmp_path):
    # In a process of its own: this one has loaded the library already, and
    # the loader would hand out that copy for the plain name.
    package = tmp_path / "kelmo"
    shutil.copytree(os.path.dirname(kelmo.__file__), package,
                    ignore=shutil.ignore_patterns("__pycache__", "*.so*", "*.dll"))
    broken = package / ("kelmo.dll" if os.name == "nt" else "libkelmo.so.0")
    broken.write_bytes(b"not a library")
    missing = str(tmp_path / "nowhere" / "libkelmo.so.0")
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "PYTHONPATH")}
    env.update(KELMO_LIBRARY=missing, PYTHONPATH=str(tmp_path))
    code = ("import kelmo\n"
            "try:\n"
            "    print(kelmo.library_path())\n"
            "except kelmo.LibraryNotFoundError as e:\n"
            "    print(repr(e.tried))\n"
            "    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    first, text = out.stdout.split("\n", 1)
    if not first.startswith("["):
        pytest.skip(f"a copy of the library is installed on the system's search path: {first}")
    tried = dict(eval(first))
    assert tried[missing] == "no such file"
    assert str(broken) in tried and tried[str(broken)] != "no such file"
    assert missing in text and str(broken) in text and "KELMO_LIBRARY" in text


def test_catalogue_is_what_the_library_reports():
    # The rows themselves are swept in the library's own tests; here the
    # package against the library's answers, asked directly.
    c_int, c_double = ctypes.c_int, ctypes.c_double
    listed = {c.card_type: c for c in kelmo.cards()}
    expected = set()
    for code in range(1, 1000):
        channels, gain_count, freq_count, aux, full = c_int(0), c_int(0), c_int(0), c_int(0), c_int(0)
        gains, freqs, high, low = (c_double * 10)(), (c_int * 27)(), c_double(0), c_double(0)
        _lib.lib.GetADParameter(code, ctypes.byref(channels), gains, ctypes.byref(gain_count), freqs,
                                ctypes.byref(freq_count), ctypes.byref(aux), ctypes.byref(high), ctypes.byref(low),
                                ctypes.byref(full))
        if channels.value <= 0 or 831 <= code <= 859 or code == 800:
            assert code not in listed, code
            continue
        expected.add(code)
        got = listed[code]
        assert (got.channels, got.full_scale, got.aux_code) == (channels.value, full.value, aux.value), code
        assert (got.min_rate, got.max_rate) == (low.value, high.value), code
        word = c_int(0)
        _lib.lib.GetCardWordType(code, ctypes.byref(word))
        assert got.word_bytes == word.value, code
        # Each rate once, only those the card samples at; the gains a whole number carries.
        assert len(set(got.frequencies)) == len(got.frequencies), code
        assert set(got.frequencies) <= set(freqs[:freq_count.value]), code
        assert all(f <= got.max_rate for f in got.frequencies), code
        assert set(got.gains) <= set(gains[:gain_count.value]), code
        assert all(g == int(g) for g in got.gains), code
    assert set(listed) == expected
    assert kelmo.card(123).info == listed[123] and listed[123].source == "simulated"
    assert kelmo.card(800).source == "sound" and kelmo.card(836).source == "driver"
    assert listed[720].source == "driver"
    with pytest.raises(ValueError, match="not in the catalogue"):
        kelmo.card(5).info
    with pytest.raises(ValueError, match="negative"):
        kelmo.card(-123)


def test_convert_takes_only_words_of_the_card():
    signed = kelmo.card(602)  # 16-bit words
    for raw, where in [([40000.0, 1.7], "40000.0 at index 0"), ([3.0, 1.7], "1.7 at index 1"),
                       ([0, float("nan")], "nan at index 1"), ([5, -32769], "-32769 at index 1"),
                       (np.array([[1, 2], [70000, 3]]), r"70000 at index \(1, 0\)"),
                       (np.array([7, 2**40], dtype=np.uint64), "1099511627776 at index 1")]:
        with pytest.raises(ValueError, match=where):
            signed.convert(raw)
    with pytest.raises(ValueError):
        signed.convert(["3"])
    words = np.array([3, -32768, 32767], dtype=np.int16)
    expected = signed.convert(words)
    for same in ([3.0, -32768.0, 32767.0], [3, -32768, 32767], words.astype(np.int64)):
        np.testing.assert_array_equal(signed.convert(same), expected)
    # Offset-binary words read unsigned keep their bits.
    offset = kelmo.card(616)
    unsigned = np.array([0, 32768, 65535], dtype=np.uint16)
    np.testing.assert_array_equal(offset.convert(unsigned), offset.convert(unsigned.view(np.int16)))
    assert offset.convert(unsigned)[:2].tolist() == [-5000.0, 0.0]
    wide = kelmo.card(124)  # 32-bit words
    assert wide.convert([2**31 - 1, -2**31]).tolist() == pytest.approx([5000, -5000], abs=1e-5)
    with pytest.raises(ValueError, match="2147483648 at index 0"):
        wide.convert([2**31])


def test_parameter_record_layout():
    record = _lib.AdParamRecord()
    assert ctypes.sizeof(record) == 880 + 2 * ctypes.sizeof(ctypes.c_void_p)
    freqs = (ctypes.c_double * 27)()
    record.freqsOut = freqs
    assert _lib.lib.GetADParameterEx(124, ctypes.byref(record), None, None) == 1
    assert (record.channelCount, record.bytesPerSample, record.freqCount, record.fullScale) == (32, 4, 27, 5000)
    assert list(freqs[:2]) == [4e8, 2e8] and record.highFreq == 4.096e13


def test_texts_of_a_call_are_caught_on_its_thread(capfd):
    gc.collect()  # the handler is kept alive by the package, not by luck
    kelmo.library_path()  # loads the library, which installs the handler
    with _lib.capture() as box:
        assert _lib.lib.splint(None, None, None, 1, 0.0) == 0.0  # a table too short: no text
        xa = (ctypes.c_double * 2)(1.0, 1.0)
        ya = (ctypes.c_double * 2)(0.0, 0.0)
        assert _lib.lib.splint(xa, ya, ya, 2, 1.0) == 0.0  # equal abscissas: a message box
    assert box == ["xa 数组的值不能相同"]
    assert capfd.readouterr().err == ""
    # Outside a call of the package the text goes to stderr, decoded.
    _lib.lib.splint(xa, ya, ya, 2, 1.0)
    assert capfd.readouterr().err == "xa 数组的值不能相同\n"


def _without_a_sound_device(tmp_path, code):
    """Runs `code` in a process of its own whose ALSA has no configuration:
    no default capture device, whatever this machine has."""
    empty = tmp_path / "alsa.conf"
    empty.write_text("")
    env = dict(os.environ, ALSA_CONFIG_PATH=str(empty), XDG_RUNTIME_DIR=str(tmp_path), PYTHONIOENCODING="utf-8")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60,
                         encoding="utf-8")
    assert out.returncode == 0, out.stderr
    return out


def test_a_missing_sound_card_is_left_out_with_the_reason(tmp_path):
    out = _without_a_sound_device(tmp_path, "import json, warnings, kelmo\n"
                                  "with warnings.catch_warnings(record=True) as w:\n"
                                  "    warnings.simplefilter('always')\n"
                                  "    listed = [c.card_type for c in kelmo.cards(sound=True)]\n"
                                  "m = w[0].message\n"
                                  "print(json.dumps([800 in listed, len(w), type(m).__name__, str(m), m.reason, "
                                  "m.error.text]))\n")
    listed, count, kind, shown, reason, text = json.loads(out.stdout)
    assert not listed and count == 1 and kind == "SoundCardMissing"
    assert reason.startswith("Checkcard failed: ALSA's default capture device cannot be opened (")
    assert reason.endswith("); connect one, or start the sound server")
    assert shown == "the sound card (800) is left out: " + reason
    assert text == "声卡工作不正常!"  # the library's own text, decoded from GBK


def test_without_a_sound_device_its_card_says_why_rather_than_a_fallback(tmp_path):
    # Neither a rate of the device that could not be asked, nor a catalogue
    # entry of one channel and full scale 0, nor a message box on stderr.
    out = _without_a_sound_device(tmp_path, "import json, kelmo\n"
                                  "out = []\n"
                                  "for f in (lambda: kelmo.card(800).info,\n"
                                  "          lambda: kelmo.card(800).acquire(rate=44100, samples=64)):\n"
                                  "    try:\n"
                                  "        f()\n"
                                  "        out.append('no error')\n"
                                  "    except kelmo.KelmoError as e:\n"
                                  "        out.append(e.reason)\n"
                                  "print(json.dumps(out))\n")
    for reason in json.loads(out.stdout):
        assert "ALSA's default capture device cannot be opened (" in reason, reason
        assert "11025" not in reason
    assert "waveInGetDevCaps" not in out.stderr, out.stderr
