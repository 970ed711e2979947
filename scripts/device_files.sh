#!/usr/bin/env bash
# Lays out the files a device has beside the document root, for the demo:
# EDID presets under /mnt/app, the configuration folder, and an SD card with
# a few sample recordings, and a language record saying English. Run only
# inside a private mount namespace.
set -euo pipefail
mkdir -p /mnt/app /mnt/usr/config/app_parameters /tmp/ipc
edid() {  # name blocks seed: a header, then bytes that differ per preset
    local i b bytes='\x00\xff\xff\xff\xff\xff\xff\x00'
    for ((i = 8; i < 128 * $2; i++)); do
        printf -v b '\\x%02x' $(( (i * 31 + $3 * 17) & 255 ))
        bytes+=$b
    done
    printf "$bytes" > "$1"
}
n=1
for f in DID_AUTO EDID_1920x1080P60 EDID_1280x720P60 EDID_1920x1200P60 EDID_1920x1080i60 \
         EDID_1024x768P60 EDID_800x600P60 EDID_640x480P60 EDID_1280x1024P60; do
    edid "/mnt/app/$f.bin" 2 "$n"; n=$((n+1))
done
cp /mnt/app/EDID_1920x1080P60.bin /mnt/app/QX_HDMI_EDID.bin

sd=/mnt/app/web_root/sd
mkdir -p "$sd"
: > "$sd/recodefilelist.txt"
for day in 2026-12-05 2026-12-06 2026-12-07; do
    mkdir -p "$sd/$day"
    for t in 080000 093015 120500; do
        d=${day//-/}
        head -c $((RANDOM * 64 + 4096)) /dev/zero > "$sd/$day/${d}${t}.mp4"
    done
done

# Language record: language (128 bytes), mode (4), page (128), zero-padded.
{
    printf 'english'; head -c 121 /dev/zero
    head -c 4 /dev/zero
    printf 'login.html'; head -c 118 /dev/zero
} > /mnt/app/web_root/config/language_para
