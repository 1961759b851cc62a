#pragma once
// Filing items into the mirror and problem folders. Each move reports whether the item
// reached its destination, so the pipeline never takes an unfiled item for a filed one.
#include <QString>

namespace kivo {

class QDI_FileManager {
public:
    // Into the mirror folder, replacing an existing file.
    static bool moveFileToPath(const QString& relativePath, const QString& sourceRoot);
    static bool moveFileToPath(const QString& relativePath, const QString& sourceRoot,
                               bool overwrite, bool encapsulate);
    static bool moveFileToPath(const QString& relativePath, const QString& sourceRoot,
                               const QString& destinationRoot, bool overwrite, bool encapsulate);
};

} // namespace kivo
