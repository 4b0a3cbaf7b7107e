#!/usr/bin/env bash
# Draws the program's own pictures:
#   dist/image/*.png, *.jpg   one 290 x 199 pad picture per starter clip: a symbol and a word
#   resources/logo.png        the 256 x 256 logo shown at the top of the side panel
#   resources/icons/*.png     the logo at the icon sizes of the desktop's icon theme
#   resources/sidepanel.bmp   the side panel's 50 x 50 bitmap
#
#   scripts/make_starter_images.sh [image folder [resource folder]]
#
# Needs ImageMagick's convert and the Noto Sans CJK font (fonts-noto-cjk) for the Japanese
# words. Metadata that changes from run to run (dates, times) is left out of the files.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
images=${1:-$top/dist/image}
resources=${2:-$top/resources}
mkdir -p "$images" "$resources"

jp_font=$(fc-match -f '%{file}' 'Noto Sans CJK JP:style=Bold')
case $jp_font in
*NotoSansCJK*) ;;
*)
    echo "Noto Sans CJK JP Bold is missing (Debian package fonts-noto-cjk)" >&2
    exit 1
    ;;
esac
latin_font=DejaVu-Sans-Bold
symbol_font=DejaVu-Sans

# Output settings shared by every picture: 8 bits per channel, no time stamps.
PNG_OUT=(-depth 8 -strip -define png:exclude-chunks=date,time)
JPG_OUT=(-depth 8 -strip -sampling-factor 2x2 -quality 88)

# card FILE JAPANESE ENGLISH TOP_COLOUR BOTTOM_COLOUR SYMBOL_ARGS...
# A pad picture: a vertical gradient, a soft halo behind the white symbol (drawn around the
# point 145,70 by SYMBOL_ARGS), the Japanese word in large type and the English word small
# beneath it, inside a thin rounded frame.
card() {
    local file=$1 jp=$2 en=$3 c1=$4 c2=$5
    shift 5
    local out=("${PNG_OUT[@]}")
    [[ $file == *.jpg ]] && out=("${JPG_OUT[@]}")
    convert -size 290x199 "gradient:$c1-$c2" \
        -fill 'rgba(255,255,255,0.13)' -stroke none -draw 'circle 145,70 145,10' \
        -fill none -stroke 'rgba(255,255,255,0.35)' -strokewidth 2 \
        -draw 'roundrectangle 5,5 284,193 12,12' \
        "$@" \
        -stroke none -gravity north \
        -font "$jp_font" -pointsize 34 \
        -fill 'rgba(0,0,0,0.35)' -annotate +2+128 "$jp" \
        -fill white -annotate +0+126 "$jp" \
        -font "$latin_font" -pointsize 13 -kerning 3 \
        -fill 'rgba(255,255,255,0.75)' -annotate +0+173 "$en" \
        "${out[@]}" "$file"
}

# Symbols, each a list of convert drawing arguments around the point 145,70.
glyph() { # glyph TEXT SIZE Y_OFFSET: a character from the symbol font, with a soft shadow
    printf '%s\n' -gravity north -font "$symbol_font" -pointsize "$2" -stroke none \
        -fill 'rgba(0,0,0,0.3)' -annotate "+3+$(($3 + 3))" "$1" \
        -fill white -annotate "+0+$3" "$1" -gravity northwest
}
readarray -t sym_chime < <(glyph '♫' 92 14)
sym_fanfare=(-stroke none -fill white
    -draw 'roundrectangle 70,62 158,78 4,4'
    -draw 'polygon 154,64 198,34 198,106 154,76'
    -draw 'rectangle 64,58 74,82'
    -draw 'roundrectangle 104,44 112,64 2,2' -draw 'roundrectangle 120,44 128,64 2,2'
    -draw 'roundrectangle 136,44 144,64 2,2'
    -fill none -stroke white -strokewidth 5 -draw 'stroke-linecap round line 208,48 222,40'
    -draw 'stroke-linecap round line 210,70 226,70' -draw 'stroke-linecap round line 208,92 222,100')
sym_correct=(-fill none -stroke 'rgba(0,0,0,0.25)' -strokewidth 15 -draw 'circle 148,73 148,27'
    -stroke white -draw 'circle 145,70 145,24')
sym_buzzer=(-fill none -strokewidth 17
    -stroke 'rgba(0,0,0,0.25)' -draw 'stroke-linecap round line 111,33 185,107'
    -draw 'stroke-linecap round line 185,33 111,107'
    -stroke white -draw 'stroke-linecap round line 108,30 182,104'
    -draw 'stroke-linecap round line 182,30 108,104')
sym_drumroll=(-stroke none -fill white
    -draw 'rectangle 97,62 193,102' -draw 'ellipse 145,102 48,13 0,180'
    -fill 'rgba(0,0,0,0.22)' -draw 'polygon 97,66 117,100 137,66 157,100 177,66 193,92 193,96 177,72 157,106 137,72 117,106 97,72'
    -fill '#f4efe6' -stroke white -strokewidth 4 -draw 'ellipse 145,62 48,13 0,360'
    -stroke white -strokewidth 6 -draw 'stroke-linecap round line 104,22 142,54'
    -draw 'stroke-linecap round line 190,24 152,54'
    -stroke none -fill white -draw 'circle 104,22 104,28' -draw 'circle 190,24 190,30')
sym_bell=(-stroke none -fill white
    -draw 'path "M 145,24 C 119,24 113,48 113,72 L 104,98 L 186,98 L 177,72 C 177,48 171,24 145,24 Z"'
    -draw 'circle 145,22 145,28' -draw 'circle 145,106 145,114'
    -fill none -stroke white -strokewidth 4
    -draw 'stroke-linecap round path "M 92,44 Q 84,62 92,80"'
    -draw 'stroke-linecap round path "M 198,44 Q 206,62 198,80"')
sym_sting=(-stroke none -fill 'rgba(0,0,0,0.25)'
    -draw 'polygon 161,21 117,81 145,81 133,125 186,61 157,61 174,21'
    -fill white -draw 'polygon 158,18 114,78 142,78 130,122 183,58 154,58 171,18')
sym_taiko=(-stroke none -fill 'rgba(0,0,0,0.25)' -draw 'circle 148,73 148,23'
    -fill white -draw 'circle 145,70 145,20'
    -fill '#e9dcc6' -draw 'circle 145,70 145,30'
    -fill '#b53a2a' -draw 'circle 145,70 145,52'
    -fill '#6b4423')
for a in 0 30 60 90 120 150 180 210 240 270 300 330; do
    read -r x y < <(awk -v a="$a" 'BEGIN { r = 45; t = a * 3.14159265 / 180;
        printf "%.1f %.1f\n", 145 + r * cos(t), 70 + r * sin(t) }')
    sym_taiko+=(-draw "circle $x,$y $x,$(awk -v y="$y" 'BEGIN{print y + 2.6}')")
done

card "$images/chime.png" 'チャイム' 'CHIME' '#6a7df0' '#262a6e' "${sym_chime[@]}"
card "$images/fanfare.jpg" 'ファンファーレ' 'FANFARE' '#f5b545' '#b0481a' "${sym_fanfare[@]}"
card "$images/correct.png" '正解' 'CORRECT' '#3fc277' '#11653a' "${sym_correct[@]}"
card "$images/buzzer.png" 'ブザー' 'BUZZER' '#e65b57' '#74182a' "${sym_buzzer[@]}"
card "$images/drumroll.jpg" 'ドラムロール' 'DRUM ROLL' '#9763dc' '#3a1c68' "${sym_drumroll[@]}"
card "$images/bell.png" 'ベル' 'BELL' '#35bcc0' '#0e4f5c' "${sym_bell[@]}"
card "$images/sting.jpg" 'ジャーン' 'STING' '#ff8060' '#9a2658' "${sym_sting[@]}"
card "$images/taiko.png" '太鼓' 'TAIKO DRUM' '#bd8650' '#4a2a12' "${sym_taiko[@]}"

# The logo: eight pads in two rows of four, the first one lit, over a level meter, on a
# rounded square in the side panel's colours (RGB 128,128,192 fading towards black).
logo=(-fill '#ffbf5a' -draw 'roundrectangle 23,42 71,90 12,12' -fill 'rgba(255,255,255,0.9)')
for p in 1 2 3 4 5 6 7; do
    x=$((23 + 54 * (p % 4)))
    y=$((42 + 54 * (p / 4)))
    logo+=(-draw "roundrectangle $x,$y $((x + 48)),$((y + 48)) 12,12")
done
logo+=(-fill '#9ee6ff')
x=37
for h in 12 22 34 26 44 50 38 28 18 24 14; do
    logo+=(-draw "roundrectangle $x,$((214 - h)) $((x + 12)),214 5,5")
    x=$((x + 17))
done
convert -size 248x248 gradient:'#8888cc-#1c1c34' \
    \( -size 248x248 xc:black -fill white -draw 'roundrectangle 0,0 247,247 44,44' \) \
    -alpha off -compose copy_opacity -composite \
    -compose over -background none -gravity center -extent 256x256 -gravity northwest \
    -fill none -stroke 'rgba(255,255,255,0.45)' -strokewidth 3 \
    -draw 'roundrectangle 6,6 249,249 42,42' -stroke none \
    -fill 'rgba(255,190,90,0.35)' -draw 'roundrectangle 17,36 77,96 16,16' \
    "${logo[@]}" "${PNG_OUT[@]}" "PNG32:$resources/logo.png"

# Smaller copies of the logo for the desktop's icon theme (menus and task bars ask for these
# sizes and would otherwise scale the large one down themselves).
mkdir -p "$resources/icons"
for size in 32 48 64 128; do
    convert "$resources/logo.png" -filter Lanczos -resize "${size}x${size}" "${PNG_OUT[@]}" \
        "PNG32:$resources/icons/cuedeck-$size.png"
done

# The side panel's bitmap: the panel's own gradient with a small version of the pad grid.
convert -size 50x50 gradient:'#8080c0-#000000' -stroke none \
    -fill '#ffbf5a' -draw 'roundrectangle 6,14 15,23 2,2' \
    -fill 'rgba(255,255,255,0.85)' \
    -draw 'roundrectangle 17,14 26,23 2,2' -draw 'roundrectangle 28,14 37,23 2,2' \
    -draw 'roundrectangle 39,14 48,23 2,2' -draw 'roundrectangle 6,25 15,34 2,2' \
    -draw 'roundrectangle 17,25 26,34 2,2' -draw 'roundrectangle 28,25 37,34 2,2' \
    -draw 'roundrectangle 39,25 48,34 2,2' \
    -alpha off -type TrueColor -depth 8 -strip "BMP3:$resources/sidepanel.bmp"

identify "$images"/* "$resources/logo.png" "$resources/icons"/* "$resources/sidepanel.bmp"
