// Window layouts are written in dialog units, as dialog templates are: a horizontal unit is a
// quarter of the dialog font's average character width, a vertical unit an eighth of its height.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class CDialogUnits {
  public:
    // Base units of a font: the average width of the letters a-z and A-Z (rounded the way the
    // dialog manager rounds it) and the font's height in pixels.
    explicit CDialogUnits(const QFont& font);
    CDialogUnits(int baseX, int baseY) : baseX_(baseX), baseY_(baseY) {}

    int BaseX() const { return baseX_; }
    int BaseY() const { return baseY_; }

    int X(int units) const { return Scale(units, baseX_, 4); }
    int Y(int units) const { return Scale(units, baseY_, 8); }
    QRect Rect(int left, int top, int width, int height) const;
    QSize Size(int width, int height) const { return QSize(X(width), Y(height)); }

    // The face of the station's dialogs ("宋体" 9 pt) where it is installed, else the default face
    // at 9 pt.
    static QFont DialogFont();

  private:
    // value * base / divisor, rounded half away from zero.
    static int Scale(int value, int base, int divisor);

    int baseX_;
    int baseY_;
};
