// Draws a widget as a person sees it, for the window tests' renders.
#pragma once

#include <QImage>
#include <QWidget>

// AWidget drawn at AScale device pixels per pixel, as a desktop at that
// scale draws it.
inline QImage Render(QWidget* AWidget, int AScale) {
    QImage image(AWidget->size() * AScale, QImage::Format_ARGB32);
    image.setDevicePixelRatio(AScale);
    image.fill(Qt::transparent);
    AWidget->render(&image);
    return image;
}
