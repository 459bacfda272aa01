#!/bin/bash
# Gives a Wine prefix what a Windows desktop has by default, for the window
# tests and the demo: a desktop window with caption, taskbar and notification
# area on a display without a window manager (SIZE, e.g. 1024x768), the
# caption buttons' font, and font linking for the dialog font, so that
# Japanese text (a language list's "日本語") shows in an English interface
# instead of empty boxes.
# usage: wine-desktop.sh PREFIX SIZE     the desktop and the font links
#        wine-desktop.sh PREFIX --fonts  the font links only
# Run it before the prefix's first program that shows a window (the desktop
# reads these settings when it starts).
set -euo pipefail
export WINEPREFIX=$1
export WINEDEBUG=-all
size=$2
reg() { /usr/lib/wine/wine64 reg "$@" /f >/dev/null; }
if [ "$size" != --fonts ]; then
    reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default
    reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$size"
    reg add 'HKCU\Software\Wine\Explorer\Desktops\Default' /v EnableShell /t REG_DWORD /d 1
fi
# The dialog font "MS Shell Dlg" is Tahoma under Wine; Japanese glyphs come
# from IPA PGothic (package fonts-ipafont-gothic, proportional), found through
# fontconfig. Wine 8 then draws the Latin text with the linked font too: the
# dialogs were measured with it. Wine rewrites the links of Tahoma and
# Microsoft Sans Serif when a program runs under another code page (a
# Japanese run): run this again before the next English one.
# (A "Replacements" alias of "MS UI Gothic" in place of these links makes the Latin text
# fall back to the fixed-pitch IPA Gothic, which clips the check boxes.)
# The caption buttons are Marlett glyphs. Debian's Wine ships Marlett
# (package fonts-wine) in its data folder but does not load fonts from there,
# so captions read "0 1 r"; it does load the prefix's own font folder.
fonts=$WINEPREFIX/drive_c/windows/Fonts
[ -d "$fonts" ] && ln -sf /usr/share/wine/fonts/marlett.ttf "$fonts/marlett.ttf"
# A Japanese interface asks for "MS UI Gothic", which fontconfig answers
# with the fixed-pitch IPA Gothic, whose hinted "." reads as "," at dialog
# size ("ver,2,0,3"). The proportional IPA PGothic draws it as Windows'
# MS UI Gothic does (Wine does not rewrite replacements for a code page).
reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'MS UI Gothic' /d IPAPGothic
link='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
for face in Tahoma "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif"; do
    reg add "$link" /v "$face" /t REG_MULTI_SZ /d 'ipagp.ttf,IPAPGothic'
done
