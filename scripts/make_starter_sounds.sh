#!/usr/bin/env bash
# Synthesises the starter clips that ship in dist/sound: eight short sounds for the eight pads
# of the demo set list. Everything is made here from sine, saw, square and noise generators,
# so the clips are the project's own and free to share.
#
#   scripts/make_starter_sounds.sh [output folder]     (default: dist/sound)
#
# Needs sox and lame. Runs sox in repeatable mode (-R), so noise and dither come out the same
# on every run and the committed files only change when this script does.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${1:-$top/dist/sound}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

SOX=(sox -R -V1)
# Intermediate files are 32-bit float, so that mixing never clips before the final level.
FLOAT=(-e floating-point -b 32)

# decay T60: the length of an exponential fade that falls by 60 dB in T60 seconds. sox's
# logarithmic fade falls by 100 dB over its whole length, so it needs T60 * 100 / 60.
fadelen() { awk -v t="$1" 'BEGIN { printf "%.4f", t * 100 / 60 }'; }

# partial OUT RATE DUR WAVE FREQ T60 [extra sox effects...]
# One tone of DUR seconds with a 3 ms attack and an exponential decay.
partial() {
    local o=$1 rate=$2 dur=$3 wave=$4 freq=$5 t60=$6
    shift 6
    local len
    len=$(fadelen "$t60")
    "${SOX[@]}" -n -r "$rate" -c 1 "${FLOAT[@]}" "$o" synth "$len" "$wave" "$freq" \
        fade l 0 "$len" "$len" trim 0 "$dur" fade q 0.003 "$dur" 0.01 "$@"
}

# place OUT START IN: IN delayed by START seconds.
place() { "${SOX[@]}" "$3" "$1" pad "$2"; }

# mix OUT IN... : the inputs mixed. sox -m divides by their number, which keeps the sum below
# full scale (sox clips inside its effects chain even when the files are float); finish sets
# the final level.
mix() {
    local o=$1
    shift
    if (($# == 1)); then cp "$1" "$o"; else "${SOX[@]}" -m "$@" "$o"; fi
}

# A gentle compressor for clips whose loud attack would leave the rest of them quiet.
SOFTEN=(compand 0.002,0.2 6:-40,-40,-20,-22,0,-14)

# finish IN OUT PEAK_DB RATE CHANNELS [effects...]: the shipped 16-bit file. The effects run
# with 6 dB of headroom; then short fades at both ends so that the clip starts and stops
# without a click, the level set by its peak, and dither on the way to 16 bits. The fade-out
# position is given in seconds because sox loses track of the length after reverb.
finish() {
    local in=$1 o=$2 peak=$3 rate=$4 ch=$5
    shift 5
    "${SOX[@]}" "$in" -c "$ch" "$work/fin.f32.wav" gain -n -6 "$@"
    local len
    len=$(soxi -D "$work/fin.f32.wav")
    "${SOX[@]}" "$work/fin.f32.wav" -r "$rate" -b 16 -e signed-integer "$o" \
        fade q 0.004 "$len" 0.03 gain -n "$peak" dither -s
}

# mp3 IN.wav OUT.mp3: constant 128 kbit/s with lame's Info/LAME tag (lame writes it by
# default), which records the encoder delay and padding so the length is exact.
mp3() { lame --quiet --noreplaygain -b 128 -q 2 "$1" "$2"; }

# Bell-like note: fundamental plus the slightly stretched upper partials of a struck bar.
chime_note() {
    local o=$1 rate=$2 dur=$3 f=$4 t60=$5
    partial "$work/c1.f32.wav" "$rate" "$dur" sine "$f" "$t60"
    partial "$work/c2.f32.wav" "$rate" "$dur" sine "$(awk -v f="$f" 'BEGIN{print f*2.0}')" \
        "$(awk -v t="$t60" 'BEGIN{print t*0.5}')" vol 0.35
    partial "$work/c3.f32.wav" "$rate" "$dur" sine "$(awk -v f="$f" 'BEGIN{print f*3.01}')" \
        "$(awk -v t="$t60" 'BEGIN{print t*0.25}')" vol 0.15
    mix "$o" "$work/c1.f32.wav" "$work/c2.f32.wav" "$work/c3.f32.wav"
}

# --- Q: チャイム, an ascending four-note announcement chime, G4 B4 D5 G5 ------------------------
make_chime() {
    local r=44100 parts=() i=0 f
    for f in 392.00 493.88 587.33 783.99; do
        chime_note "$work/n$i.f32.wav" $r 2.6 "$f" 1.8
        place "$work/p$i.f32.wav" "$(awk -v i=$i 'BEGIN{print i*0.32}')" "$work/n$i.f32.wav"
        parts+=("$work/p$i.f32.wav")
        i=$((i + 1))
    done
    mix "$work/chime.f32.wav" "${parts[@]}"
    finish "$work/chime.f32.wav" "$out/chime.wav" -3 $r 1 pad 0 0.3 reverb 25 50 60 trim 0 3.4
}

# --- W: ファンファーレ, ta-ta-ta-taaa on soft brass (filtered saws), stereo MP3 --------------------
brass() {
    local o=$1 dur=$2
    shift 2
    local specs=() f
    for f in "$@"; do specs+=(sawtooth "$f"); done
    "${SOX[@]}" -n -r 44100 -c $# "${FLOAT[@]}" "$o" synth "$dur" "${specs[@]}" remix - \
        lowpass 1800 lowpass 2600 fade t 0.025 "$dur" 0.06
}
make_fanfare() {
    brass "$work/b1.f32.wav" 0.14 392.00 523.25
    brass "$work/b2.f32.wav" 0.14 392.00 523.25
    brass "$work/b3.f32.wav" 0.14 392.00 523.25
    brass "$work/b4.f32.wav" 1.50 523.25 659.25 783.99 1046.50
    place "$work/q2.f32.wav" 0.18 "$work/b2.f32.wav"
    place "$work/q3.f32.wav" 0.36 "$work/b3.f32.wav"
    place "$work/q4.f32.wav" 0.56 "$work/b4.f32.wav"
    mix "$work/fanfare.f32.wav" "$work/b1.f32.wav" "$work/q2.f32.wav" "$work/q3.f32.wav" \
        "$work/q4.f32.wav"
    # Make it stereo with a touch of width: the right channel a few milliseconds late.
    "${SOX[@]}" "$work/fanfare.f32.wav" -c 2 "$work/fanfare2.f32.wav" remix 1 1 \
        delay 0 0.012 pad 0 0.6 reverb 35 50 70
    finish "$work/fanfare2.f32.wav" "$work/fanfare.wav" -3 44100 2 trim 0 3.0
    mp3 "$work/fanfare.wav" "$out/fanfare.mp3"
}

# --- E: 正解, the quiz show's bright two-tone "ping-pong" -----------------------------------------
make_correct() {
    chime_note "$work/hi.f32.wav" 44100 1.0 1318.51 0.9
    chime_note "$work/lo.f32.wav" 44100 1.4 1046.50 1.2
    place "$work/lo2.f32.wav" 0.22 "$work/lo.f32.wav"
    mix "$work/correct.f32.wav" "$work/hi.f32.wav" "$work/lo2.f32.wav"
    finish "$work/correct.f32.wav" "$out/correct.wav" -4 44100 1 trim 0 1.6
}

# --- R: ブザー, the wrong-answer buzzer: two detuned low squares, filtered so they buzz, not hurt -
make_buzzer() {
    "${SOX[@]}" -n -r 44100 -c 2 "${FLOAT[@]}" "$work/buzz.f32.wav" \
        synth 0.9 square 146.8 square 151.0 remix - lowpass 2500 lowpass 3500 highpass 80 \
        fade h 0.01 0.9 0.08
    finish "$work/buzz.f32.wav" "$out/buzzer.wav" -12 44100 1
}

# --- A: ドラムロール, a snare roll that swells into a cymbal crash and a kick, MP3 --------------------
make_drumroll() {
    local r=44100
    # The roll: noise through a snare-like band, pulsed 18 times a second, swelling over 1.3 s.
    "${SOX[@]}" -n -r $r -c 1 "${FLOAT[@]}" "$work/roll.f32.wav" synth 2.1 whitenoise \
        highpass 250 lowpass 6000 tremolo 18 95 fade t 1.3 2.1 0.05 vol 0.9
    "${SOX[@]}" -n -r $r -c 1 "${FLOAT[@]}" "$work/rollbed.f32.wav" synth 2.1 pinknoise \
        highpass 300 lowpass 5000 fade t 2.1 vol 0.25
    # The crash: bright noise with a long ring, and a kick under it.
    partial "$work/crash.f32.wav" $r 1.6 whitenoise 0 1.4 highpass 3000 vol 0.5
    partial "$work/kick.f32.wav" $r 0.7 sine 110:45 0.5
    place "$work/crash2.f32.wav" 2.1 "$work/crash.f32.wav"
    place "$work/kick2.f32.wav" 2.1 "$work/kick.f32.wav"
    mix "$work/drumroll.f32.wav" "$work/roll.f32.wav" "$work/rollbed.f32.wav" \
        "$work/crash2.f32.wav" "$work/kick2.f32.wav"
    finish "$work/drumroll.f32.wav" "$work/drumroll.wav" -3 $r 1 trim 0 3.7
    mp3 "$work/drumroll.wav" "$out/drumroll.mp3"
}

# --- S: ベル, a struck bell with its inharmonic partials, at 48 kHz ----------------------------------
make_bell() {
    local r=48000 parts=() i=0
    # ratio level T60: hum, prime, tierce, quint, nominal and two upper partials.
    while read -r ratio level t60; do
        partial "$work/bp$i.f32.wav" $r 3.0 sine "$(awk -v x="$ratio" 'BEGIN{print 440*x}')" \
            "$t60" vol "$level"
        parts+=("$work/bp$i.f32.wav")
        i=$((i + 1))
    done <<'EOF'
0.5 0.35 3.0
1.0 0.55 2.2
1.19 0.35 1.6
1.5 0.20 1.2
2.0 0.45 1.4
2.51 0.15 0.8
2.66 0.12 0.6
EOF
    mix "$work/bell.f32.wav" "${parts[@]}"
    finish "$work/bell.f32.wav" "$out/bell.wav" -3 $r 1 "${SOFTEN[@]}" trim 0 3.0
}

# --- D: ジャーン, a bright chord stab that rings out: saws and a bell layer on C major ------------
make_sting() {
    "${SOX[@]}" -n -r 44100 -c 5 "${FLOAT[@]}" "$work/stab.f32.wav" \
        synth 2.4 sawtooth 130.81 sawtooth 261.63 sawtooth 329.63 sawtooth 392.00 \
        sawtooth 523.25 remix - lowpass 2400 fade l 0.01 4.0 4.0 trim 0 2.4
    chime_note "$work/top.f32.wav" 44100 2.4 1046.50 1.6
    partial "$work/hit.f32.wav" 44100 0.3 whitenoise 0 0.15 highpass 2000 vol 0.4
    mix "$work/sting.f32.wav" "$work/stab.f32.wav" "$work/top.f32.wav" "$work/hit.f32.wav"
    finish "$work/sting.f32.wav" "$out/sting.wav" -3 44100 1 "${SOFTEN[@]}" pad 0 0.4 reverb 30 50 60 trim 0 2.7
}

# --- F: 太鼓, one deep drum stroke: a falling sine with a short skin noise ---------------------------
make_taiko() {
    partial "$work/body.f32.wav" 44100 1.3 sine 120:48 0.9
    partial "$work/skin.f32.wav" 44100 0.2 brownnoise 0 0.12 lowpass 900 vol 0.6
    mix "$work/taiko.f32.wav" "$work/body.f32.wav" "$work/skin.f32.wav"
    finish "$work/taiko.f32.wav" "$out/taiko.wav" -2 44100 1 pad 0 0.3 reverb 20 60 40 trim 0 1.4
}

make_chime
make_fanfare
make_correct
make_buzzer
make_drumroll
make_bell
make_sting
make_taiko

for f in "$out"/*.wav; do
    printf '%-14s %s s, %s Hz, %s ch\n' "$(basename "$f")" "$(soxi -D "$f")" "$(soxi -r "$f")" "$(soxi -c "$f")"
done
ls -l "$out"
