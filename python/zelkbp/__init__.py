"""zelkbp: binaural robot audition on numpy arrays.

Runs the project's network files (the ones ``flowrun`` runs) on arrays in memory:

    >>> import zelkbp
    >>> net = zelkbp.Network("networks/localize.n", MICS_DISTANCE=18.0)
    >>> results = net.run(x)              # x: channels x samples, 16-bit scale
    >>> results["LOCALIZED"]["azimuth"]   # degrees, one row per source and frame

Audio convention: float arrays of shape (channels, samples) at the network's
SAMPLING_RATE, on the 16-bit integer scale the nodes use (a full-scale sample is
+-32768; multiply audio in [-1, 1] by 32768). int16 arrays are taken as they are.
Row 0 is the left (first) microphone, row 1 the right one.

When the network's INPUT argument is left out, the input comes from the caller
(``run(x)`` for a whole recording, ``push(chunk)`` for a stream). Every output
argument left out (a writer's FILE) is collected in memory under its argument
name instead of being written:

=================  =====================================================
writer             collected as
=================  =====================================================
AudioFileSink      float32 array (channels, samples), 16-bit scale, unrounded
SourceListWriter   structured array, one row per source and frame, fields
                   frame, time (s), id, azimuth (degrees), power (SOURCE_DTYPE)
SegmentWriter      float64 array (segments, 2): start, end in seconds
MatrixWriter       float32 or complex64 array (frames, rows, columns)
=================  =====================================================

Output arguments given (``OUTPUT="out.wav"``) are written by the network's own
writers exactly as flowrun writes them. Errors are LoadError (the network file
or its arguments, a ValueError) and RunError (a frame, a RuntimeError), carrying
the host's one-line message; wrong arrays raise ValueError or TypeError.
"""

import os

import numpy as np

from . import _zelkbp
from ._zelkbp import LoadError, RunError

__all__ = [
    "Network", "LoadError", "RunError", "SOURCE_DTYPE", "NETWORKS_DIR", "network_path",
    "localize", "enhance", "detect_speech", "separate", "list_nodes", "concatenate",
]

#: Fields of a collected source list: one row per source found in a frame.
SOURCE_DTYPE = np.dtype([("frame", "<i4"), ("time", "<f8"), ("id", "<i4"),
                         ("azimuth", "<f8"), ("power", "<f4")])

#: Folder of the example networks shipped with the package.
NETWORKS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "networks")


def network_path(name):
    """Path of an example network by name ("localize" or "localize.n"), or `name` itself
    when it names an existing file."""
    if os.path.isfile(name):
        return name
    base = name if name.endswith(".n") else name + ".n"
    path = os.path.join(NETWORKS_DIR, base)
    if not os.path.exists(path):
        known = sorted(f[:-2] for f in os.listdir(NETWORKS_DIR) if f.endswith(".n"))
        raise FileNotFoundError(f"no network {name!r}: not a file, and the examples are {', '.join(known)}")
    return path


def _argument_text(name, value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, np.integer)):
        return str(int(value))
    if isinstance(value, (float, np.floating)):
        return repr(float(value))
    if isinstance(value, (str, os.PathLike)):
        return os.fspath(value)
    raise TypeError(f"argument {name}: expected a number or a string, got {type(value).__name__}")


def _as_samples(x, channels=None):
    """The caller's array as C-ordered float32 (channels, samples), checked."""
    a = np.asarray(x)
    if a.dtype == np.int16 or a.dtype.kind == "f":
        pass
    else:
        raise TypeError(f"expected a float or int16 array of samples on the 16-bit scale, got dtype {a.dtype}")
    if a.ndim != 2:
        hint = "; for one channel use x[np.newaxis, :]" if a.ndim == 1 else ""
        raise ValueError(f"expected an array of shape (channels, samples), got shape {a.shape}{hint}")
    if a.shape[0] < 1:
        raise ValueError(f"expected at least one channel, got shape {a.shape}")
    if channels and a.shape[0] != channels:
        hint = " (is it samples x channels? pass x.T)" if a.shape[1] == channels else ""
        raise ValueError(f"the array has {a.shape[0]} channels, the stream has {channels}{hint}")
    if a.shape[0] > 64 and a.shape[1] <= 64:
        raise ValueError(f"the array has shape {a.shape}: {a.shape[0]} channels of {a.shape[1]} samples? "
                         "Arrays are channels x samples; pass x.T")
    a = np.ascontiguousarray(a, dtype=np.float32)
    if not np.all(np.isfinite(a)):
        raise ValueError("the samples hold NaN or infinity")
    return a


def _result(kind, value):
    if kind == "sources":
        rows = np.empty(len(value["frame"]), dtype=SOURCE_DTYPE)
        for field in SOURCE_DTYPE.names:
            rows[field] = value[field]
        return rows
    return value


def concatenate(parts):
    """Joins the result dicts of successive push()/close() calls into one, as run() gives:
    audio along its samples, everything else along its first axis."""
    out = {}
    for part in parts:
        for name, value in part.items():
            out.setdefault(name, []).append(value)
    joined = {}
    for name, values in out.items():
        audio = values[0].dtype == np.float32 and values[0].ndim == 2
        joined[name] = np.concatenate(values, axis=1 if audio else 0)
    return joined


class Network:
    """A network file run on arrays.

    Network(path, **args): loads `path` (a file, or an example name such as
    "localize") with its arguments, given as Python values (numbers, strings,
    bools) under the names the file declares. Loading checks everything the
    runner checks; problems raise LoadError.

    Leave INPUT out to feed the network from arrays; leave an output argument
    out to get it back in memory (see the package's documentation).

    Each stream starts the C library's rand() generator (the tracker draws from
    it) where a fresh flowrun process has it, so that results equal flowrun's;
    networks with a tracker streaming at the same time in one process share it.
    """

    def __init__(self, path, **args):
        self.path = network_path(os.fspath(path))
        self.args = {name: _argument_text(name, value) for name, value in args.items()}
        self._session = _zelkbp.Session(self.path, self.args)

    # --- what the network is

    @property
    def input(self):
        """The argument fed from arrays (e.g. "INPUT"), None when the input is a file."""
        return self._session.array_input or None

    @property
    def outputs(self):
        """Collected outputs: argument name -> the writer type it stands for."""
        return dict(self._session.collected)

    @property
    def sampling_rate(self):
        """Samples per second the network runs at (its SAMPLING_RATE), None for a file input."""
        return self._session.sampling_rate or None

    @property
    def lookahead(self):
        """Frames of input the network reads beyond a frame before it can give that frame:
        a pushed chunk's results lag this many frames (plus part of one) behind it."""
        return self._session.lookahead

    @property
    def frames(self):
        """Frames computed so far."""
        return self._session.frames

    @property
    def audio_seconds(self):
        """Seconds of audio in the stream so far."""
        return self._session.audio_seconds

    # --- running

    def run(self, x=None, rate=None):
        """Runs a whole recording and returns every collected output (dict by argument name).

        x: array (channels, samples) on the 16-bit scale, at `rate` samples per second
        (default: the network's SAMPLING_RATE; another rate is an error, the array is not
        resampled). Leave x out when the network reads its INPUT from a file. A network
        already used is started afresh.
        """
        if x is None:
            if self.input:
                raise ValueError(f"the network reads {self.input} from an array: pass one, "
                                 f"or give {self.input}=path")
            return self._wrap(self._session.run_file())
        self._check_rate(rate)
        a = _as_samples(x)
        if self._session.started:
            self._session.reset()
        parts = [self._wrap(self._session.push(a)), self._wrap(self._session.close())]
        return concatenate(parts)

    def push(self, chunk):
        """Appends a chunk of any number of samples (channels, n) and returns the results
        of the frames it completes (dict by argument name, possibly empty arrays).
        The GIL is released while frames are computed."""
        if not self.input:
            raise ValueError("the network reads its input from a file: use run()")
        a = _as_samples(chunk, self._session.channels)
        return self._wrap(self._session.push(a))

    def close(self):
        """Ends the stream: computes the frames still pending (silence past the end, as
        after the last sample of a file) and returns their results."""
        if not self.input:
            raise ValueError("the network reads its input from a file: use run()")
        return self._wrap(self._session.close())

    def reset(self):
        """Drops all state: the next push() starts a new stream."""
        self._session.reset()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def __repr__(self):
        return f"zelkbp.Network({self.path!r}, input={self.input!r}, outputs={sorted(self.outputs)})"

    def _check_rate(self, rate):
        if rate is None:
            return
        expected = self.sampling_rate
        if not isinstance(rate, (int, np.integer)) or isinstance(rate, bool) or rate <= 0:
            raise ValueError(f"rate must be a positive whole number of samples per second, got {rate!r}")
        if expected and rate != expected:
            raise ValueError(f"the array is at {rate} Hz but the network runs at {expected} Hz: "
                             f"give SAMPLING_RATE={rate} when building it (arrays are not resampled)")

    @staticmethod
    def _wrap(results):
        return {name: _result(kind, value) for name, (kind, value) in results.items()}


# --- convenience functions over the example networks

def _rate(rate):
    if isinstance(rate, float) and rate.is_integer():
        rate = int(rate)
    if not isinstance(rate, (int, np.integer)) or isinstance(rate, bool) or rate <= 0:
        raise ValueError(f"rate must be a positive whole number of samples per second, got {rate!r}")
    return int(rate)


def _params(params):
    return {name.upper(): value for name, value in params.items()}


def _run_example(name, x, rate, output, params):
    args = _params(params)
    args["SAMPLING_RATE"] = _rate(rate)
    return Network(name, **args).run(x)[output]


def localize(x, rate, **params):
    """Directions of the sound sources in a two-channel recording, frame by frame.

    x: array (2, samples), row 0 the left microphone, 16-bit scale; rate: samples per second.
    params (arguments of localize.n, names in either case): MICS_DISTANCE (18.0 cm),
    HEAD_MODEL ("FREE_SPACE" or "SPHERICAL_HEAD"), GCCPHAT_THRESHOLD (0.2),
    FREQUENCY_LOW / FREQUENCY_HIGH (500.0 / 4000.0 Hz), NOISE_DURATION (0.5 s of
    background learned at the start), LENGTH (512 samples), ADVANCE (160 samples).

    Returns the LOCALIZED source lists as a structured array (SOURCE_DTYPE): one row per
    source and frame with frame, time (s), id, azimuth (degrees, 0 ahead, positive towards
    the right microphone) and power.
    """
    return _run_example("localize", x, rate, "LOCALIZED", params)


def enhance(x, rate, method="WIENER_FILTERING", **params):
    """The recording with its stationary background noise reduced, every channel on its own.

    x: array (channels, samples), 16-bit scale; rate: samples per second.
    method: "SPECTRAL_SUBTRACTION", "WIENER_FILTERING" (default), "TWO_STEP_WIENER_FILTERING"
    or "MINIMUM_MEAN_SQUARE_ERROR". params (arguments of enhance.n): HARMONIC_REGENERATION
    ("USE" to enable, default "NO"), NOISE_PERIOD (0.5 s of background learned at the start;
    that stretch comes out silent), LENGTH (512), ADVANCE (160).

    Returns a float32 array of the input's shape, 16-bit scale.
    """
    params = dict(params, METHOD=method)
    return _run_example("enhance", x, rate, "OUTPUT", params)


def detect_speech(x, rate, **params):
    """Speech segments of a recording.

    x: array (channels, samples), 16-bit scale; rate: samples per second.
    params (arguments of vad.n): VAD_NOISE_DURATION (1.0 s of background learned at the
    start), VAD_THRESHOLD (1.0), LENGTH (512), ADVANCE (160).

    Returns a float64 array (segments, 2) of start and end times in seconds.
    """
    return _run_example("vad", x, rate, "OUTPUT", params)


def separate(x, rate, **params):
    """Blind separation of a multichannel mixture, one row per separated source.

    x: array (channels, samples), 16-bit scale; rate: samples per second.
    params (arguments of separate.n): METHOD ("[AuxIVA]ITERATIVE_PROJECTION" (default),
    "[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION" or "[IVA]NATURAL_GRADIENT_DESCENT_METHOD"),
    SOURCES (2), MAX_ITERATION (100), BLOCK_SECONDS (3.0 s separated each on its own),
    KEEP_SOURCE_ORDER (true: each row keeps its talker from block to block), CLOSED_FORM (false),
    CHANNELS (rows returned, "0,1"), LENGTH (512), ADVANCE (160). The talkers' directions
    come with zelkbp.Network("separate").run(x)["DIRECTIONS"].

    Returns a float32 array (sources, samples), each source at the scale it has at its own
    microphone, 16-bit scale.
    """
    return _run_example("separate", x, rate, "OUTPUT", params)


def list_nodes():
    """Every node type the host knows, as flowrun --list prints them: a list of dicts with
    type, help, inputs and outputs (name, help, kind), parameters (name, type, help, optional)
    and window (whether it shows a live window)."""
    return _zelkbp.list_nodes()
