#pragma once
// Small helpers shared by the reader, date and image-check tests.
#include "fixtures/Fixtures.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace kivo::test {

inline QString writeJpegOrFail(const QString& path, const fixtures::PhotoSpec& shot) {
    QString error;
    EXPECT_TRUE(fixtures::writeJpeg(path, shot, &error)) << error.toStdString();
    return path;
}

inline QString writePngOrFail(const QString& path, const fixtures::PhotoSpec& shot,
                              char pad = ' ') {
    QString error;
    EXPECT_TRUE(fixtures::writePng(path, shot, pad, &error)) << error.toStdString();
    return path;
}

inline bool setModified(const QString& path, const QDateTime& when) {
    const qint64 ms = when.toMSecsSinceEpoch();
    const struct timespec times[2] = {{ms / 1000, (ms % 1000) * 1000000},
                                      {ms / 1000, (ms % 1000) * 1000000}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

} // namespace kivo::test
