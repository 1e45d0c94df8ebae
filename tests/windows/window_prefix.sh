# Sourced by the window tests: a Wine prefix of their own whose dialog and table faces (SimSun and
# the shell's dialog faces) are linked to the WenQuanYi font, as a Chinese Windows has its own
# fonts, so that Chinese texts are drawn and measured with real glyphs.
#
# usage: window_prefix WINERUN PROGRAM.exe PREFIX   (PROGRAM is run once to make the prefix)
window_prefix() {
  local winerun=$1 program=$2 prefix=$3
  export KS_WINEPREFIX=$prefix
  mkdir -p "$(dirname "$prefix")"
  "$winerun" "$program" --version >/dev/null 2>&1 || true
  export WINEPREFIX=$KS_WINEPREFIX WINEDEBUG=-all
  local font=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
  if [ ! -f "$font" ]; then
    echo "FAIL: $font missing (package fonts-wqy-microhei)" >&2
    return 1
  fi
  ln -sf "$font" "$WINEPREFIX/drive_c/windows/Fonts/wqy-microhei.ttc"
  local face
  for face in SimSun 宋体 "MS Shell Dlg" "MS Shell Dlg 2" Tahoma "Microsoft Sans Serif" "Segoe UI"; do
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
         /v "$face" /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1
  done
  for face in SimSun 宋体; do
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
         /v "$face" /t REG_SZ /d 'WenQuanYi Micro Hei' /f >/dev/null 2>&1
  done
  wineserver -w || true
}
