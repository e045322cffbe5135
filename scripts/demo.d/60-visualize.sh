#!/usr/bin/env bash
# Live windows on the demo recording: waveform, spectrogram, tracked directions and
# speech segments. With a display the windows play the recording at its own pace;
# without one the same run goes to a virtual display (Xvfb). Either way each
# window's last picture is saved as a PNG named after its title.
set -euo pipefail
pictures="$OUT/windows"
rm -rf "$pictures"
log="$OUT/visualize.log"

shown=no
if [ -n "${DISPLAY:-}" ]; then
    # flowrun says so when the display cannot be opened; the windows then stay shut.
    if "$FLOWRUN" networks/visualize.n --quiet --realtime --snapshot "$pictures" INPUT="$DEMO_WAV" 2>"$log" &&
        ! grep -q "live windows are off" "$log"; then
        shown=yes
    fi
fi
if [ "$shown" = no ]; then
    if ! command -v xvfb-run >/dev/null; then
        echo "visualize: no display and no xvfb-run: install Xvfb (scripts/install-deps.sh) or run"
        echo "           $FLOWRUN networks/visualize.n INPUT=$DEMO_WAV --hold   on a desktop"
        exit 0
    fi
    rm -rf "$pictures"
    xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
        "$FLOWRUN" networks/visualize.n --quiet --snapshot "$pictures" INPUT="$DEMO_WAV" 2>"$log"
fi

n=$(find "$pictures" -name '*.png' 2>/dev/null | wc -l)
if [ "$shown" = yes ]; then
    echo "visualize: 4 live windows played the recording; their last pictures ($n PNGs) -> $pictures/"
    echo "           (add --hold to keep the windows open: $FLOWRUN networks/visualize.n INPUT=$DEMO_WAV --hold)"
else
    echo "visualize: no display here, so the windows ran on a virtual one; $n pictures -> $pictures/"
    echo "           to watch them live on a desktop: $FLOWRUN networks/visualize.n INPUT=$DEMO_WAV --realtime --hold"
fi
