#include "ui/ImageView.h"

#include <QPainter>
#include <QResizeEvent>

namespace kivo {

ImageView::ImageView(QWidget* parent) : QFrame(parent) {}

QSize ImageView::targetSize() const {
    return {fTargetWidth.load(), fTargetHeight.load()};
}

void ImageView::setImage(const QImage& image) {
    const QSize target = contentsRect().size();
    if (!image.isNull() && target.isValid() &&
        (image.width() > target.width() || image.height() > target.height()))
        fImage = image.scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    else
        fImage = image;
    update();
}

void ImageView::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    if (fImage.isNull())
        return;
    const QRect area = contentsRect();
    QImage shown = fImage;
    if (shown.width() > area.width() || shown.height() > area.height())
        shown = shown.scaled(area.size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QPainter painter(this);
    const QPoint topLeft(area.x() + (area.width() - shown.width()) / 2,
                         area.y() + (area.height() - shown.height()) / 2);
    painter.drawImage(topLeft, shown);
}

void ImageView::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    rememberTargetSize();
}

void ImageView::showEvent(QShowEvent* event) {
    QFrame::showEvent(event);
    rememberTargetSize();
}

void ImageView::rememberTargetSize() {
    const QSize s = contentsRect().size();
    fTargetWidth.store(s.width());
    fTargetHeight.store(s.height());
}

} // namespace kivo
