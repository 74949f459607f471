#include "app/gui/icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <functional>

namespace sorvik {
namespace {

using Painter = std::function<void(QPainter&)>;

// Renders `paint` on a 32x32 canvas at each size so the icon stays sharp.
QIcon Draw(const Painter& paint) {
  QIcon icon;
  for (int size : {16, 24, 32, 48}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    paint(p);
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

void Disc(QPainter& p, QColor fill) {
  p.setPen(QPen(fill.darker(150), 1.5));
  p.setBrush(fill);
  p.drawEllipse(QRectF(4, 4, 24, 24));
}

// A white bold letter on a blue disc: the help and information pictures.
void LetterOnDisc(QPainter& p, const QString& letter) {
  Disc(p, QColor(60, 120, 210));
  QFont font = p.font();
  font.setPixelSize(20);
  font.setBold(true);
  p.setFont(font);
  p.setPen(Qt::white);
  p.drawText(QRectF(4, 4, 24, 24), Qt::AlignCenter, letter);
}

}  // namespace

QIcon ProgramIcon() {
  // The installed icon of the theme (hicolor PNG sizes and SVG); without one
  // (run from a build tree) the same picture drawn here.
  QIcon themed = QIcon::fromTheme(QStringLiteral("sorvik"));
  if (!themed.isNull()) return themed;
  return Draw([](QPainter& p) {
    // A tunnel mouth: a dark arch in a stone-coloured block, with a bright arrow through it.
    p.setPen(QPen(QColor(60, 60, 70), 1.5));
    p.setBrush(QColor(176, 160, 132));
    p.drawRoundedRect(QRectF(1.5, 4, 29, 25), 4, 4);
    QPainterPath arch;
    arch.moveTo(7, 29);
    arch.lineTo(7, 17);
    arch.arcTo(QRectF(7, 8, 18, 18), 180, -180);
    arch.lineTo(25, 29);
    arch.closeSubpath();
    p.setBrush(QColor(30, 34, 48));
    p.drawPath(arch);
    p.setPen(QPen(QColor(255, 214, 64), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(3, 21), QPointF(27, 21));
    p.drawLine(QPointF(21, 16), QPointF(27, 21));
    p.drawLine(QPointF(21, 26), QPointF(27, 21));
  });
}

QIcon CommandIcon(TCommandPicture picture) {
  switch (picture) {
    case TCommandPicture::Run:
      return Draw([](QPainter& p) {
        p.setPen(QPen(QColor(20, 110, 30), 1.5));
        p.setBrush(QColor(60, 180, 70));
        p.drawPolygon(QPolygonF({QPointF(9, 5), QPointF(27, 16), QPointF(9, 27)}));
      });
    case TCommandPicture::Stop:
      return Draw([](QPainter& p) {
        p.setPen(QPen(QColor(140, 20, 20), 1.5));
        p.setBrush(QColor(215, 50, 45));
        p.drawRoundedRect(QRectF(7, 7, 18, 18), 2, 2);
      });
    case TCommandPicture::Properties:
      return Draw([](QPainter& p) {
        // A sheet with lines of settings.
        p.setPen(QPen(QColor(70, 70, 90), 1.5));
        p.setBrush(QColor(250, 250, 240));
        p.drawRect(QRectF(6, 3, 20, 26));
        p.setPen(QPen(QColor(40, 90, 170), 2));
        for (int y : {9, 14, 19, 24}) p.drawLine(QPointF(10, y), QPointF(22, y));
      });
    case TCommandPicture::Add:
      return Draw([](QPainter& p) {
        p.setPen(QPen(QColor(20, 110, 30), 6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(16, 6), QPointF(16, 26));
        p.drawLine(QPointF(6, 16), QPointF(26, 16));
      });
    case TCommandPicture::Remove:
      return Draw([](QPainter& p) {
        p.setPen(QPen(QColor(190, 30, 30), 5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8, 8), QPointF(24, 24));
        p.drawLine(QPointF(24, 8), QPointF(8, 24));
      });
    case TCommandPicture::Options:
      return Draw([](QPainter& p) {
        // Three sliders.
        p.setPen(QPen(QColor(80, 80, 90), 2));
        for (int y : {8, 16, 24}) p.drawLine(QPointF(4, y), QPointF(28, y));
        p.setPen(QPen(QColor(40, 60, 120), 1));
        p.setBrush(QColor(90, 130, 210));
        p.drawRect(QRectF(18, 5, 5, 6));
        p.drawRect(QRectF(8, 13, 5, 6));
        p.drawRect(QRectF(14, 21, 5, 6));
      });
    case TCommandPicture::Debug:
      return Draw([](QPainter& p) {
        // Two linked endpoints: the open connections.
        p.setPen(QPen(QColor(40, 90, 170), 3));
        p.drawLine(QPointF(9, 23), QPointF(23, 9));
        p.setPen(QPen(QColor(30, 50, 100), 1.5));
        p.setBrush(QColor(120, 170, 240));
        p.drawEllipse(QRectF(3, 17, 12, 12));
        p.drawEllipse(QRectF(17, 3, 12, 12));
      });
    case TCommandPicture::Autostart:
      return Draw([](QPainter& p) {
        // A clock with a start arrow.
        p.setPen(QPen(QColor(60, 60, 70), 1.5));
        p.setBrush(QColor(250, 250, 235));
        p.drawEllipse(QRectF(2, 2, 22, 22));
        p.setPen(QPen(QColor(40, 40, 50), 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(13, 13), QPointF(13, 6));
        p.drawLine(QPointF(13, 13), QPointF(18, 15));
        p.setPen(QPen(QColor(20, 110, 30), 1));
        p.setBrush(QColor(60, 180, 70));
        p.drawPolygon(QPolygonF({QPointF(18, 17), QPointF(30, 24), QPointF(18, 31)}));
      });
    case TCommandPicture::Help:
      return Draw([](QPainter& p) { LetterOnDisc(p, QStringLiteral("?")); });
    case TCommandPicture::About:
      return Draw([](QPainter& p) { LetterOnDisc(p, QStringLiteral("i")); });
  }
  return {};
}

QIcon RowImage(TRowImage image) {
  // Callers that paint often keep the result (the tunnel list model does).
  switch (image) {
    case TRowImage::Stopped:
      return Draw([](QPainter& p) { Disc(p, QColor(160, 160, 165)); });
    case TRowImage::Running:
      return Draw([](QPainter& p) {
        Disc(p, QColor(60, 180, 70));
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawPolygon(QPolygonF({QPointF(13, 10), QPointF(22, 16), QPointF(13, 22)}));
      });
    case TRowImage::Failed:
      return Draw([](QPainter& p) {
        Disc(p, QColor(215, 50, 45));
        p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(11, 11), QPointF(21, 21));
        p.drawLine(QPointF(21, 11), QPointF(11, 21));
      });
    default:
      return {};
  }
}

}  // namespace sorvik
