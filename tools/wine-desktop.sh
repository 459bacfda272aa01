#!/bin/bash
# Gives a Wine prefix what a Windows desktop has by default, for the window
# tests and the demo: a desktop window with caption, taskbar and notification
# area on a display without a window manager (SIZE, e.g. 1024x768), and
# font linking for the dialog font, so that Japanese text (a language list's
# "日本語") shows in an English interface instead of empty boxes.
# usage: wine-desktop.sh PREFIX SIZE
# Run it before the prefix's first program that shows a window (the desktop
# reads these settings when it starts).
set -euo pipefail
export WINEPREFIX=$1
export WINEDEBUG=-all
size=$2
reg() { /usr/lib/wine/wine64 reg "$@" /f >/dev/null; }
reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default
reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$size"
reg add 'HKCU\Software\Wine\Explorer\Desktops\Default' /v EnableShell /t REG_DWORD /d 1
# The dialog font "MS Shell Dlg" is Tahoma under Wine; Japanese glyphs come
# from IPA Gothic (package fonts-ipafont-gothic), found through fontconfig.
# Wine rewrites the link lists of Tahoma and Microsoft Sans Serif whenever a
# program runs under another code page (a Japanese run, then an English one),
# with Windows' own Japanese font "MS UI Gothic" in each: that name is
# therefore made to stand for IPA Gothic, and the direct links serve until
# the first rewrite.
reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "MS UI Gothic" /d IPAGothic
link='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
for face in Tahoma "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif"; do
    reg add "$link" /v "$face" /t REG_MULTI_SZ /d 'ipag.ttf,IPAGothic'
done
