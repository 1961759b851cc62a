#include "files/QDI_FileManager.h"

#include "platform/Console.h"
#include "settings/Preferences.h"

namespace kivo {

// Filing is not built yet: every move says so and reports failure, leaving the item where it
// is, so nothing can be taken for filed.
bool QDI_FileManager::moveFileToPath(const QString& relativePath, const QString& sourceRoot) {
    return moveFileToPath(relativePath, sourceRoot, true, false);
}

bool QDI_FileManager::moveFileToPath(const QString& relativePath, const QString& sourceRoot,
                                     bool overwrite, bool encapsulate) {
    return moveFileToPath(relativePath, sourceRoot,
                          Preferences::getLocalMasterMirrorSiteFolder().value_or(QString()),
                          overwrite, encapsulate);
}

bool QDI_FileManager::moveFileToPath(const QString& relativePath, const QString& sourceRoot,
                                     const QString& destinationRoot, bool, bool) {
    consoleLine(QStringLiteral("QDI_FileManager: filing items is not available in this build; "
                               "[%1] stays in [%2] (wanted: [%3])")
                    .arg(relativePath, sourceRoot, destinationRoot));
    return false;
}

} // namespace kivo
