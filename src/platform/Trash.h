#pragma once
// The user's Trash: the freedesktop.org home trash ($XDG_DATA_HOME/Trash with files/ and
// info/*.trashinfo), so desktop file browsers can show and restore what we put there.
#include <QString>

namespace kivo {

// Moves a file (or symbolic link) into the home trash and records where it came from. When the
// name is taken there, a space and the local time (%Y%m%d_%H%M%S) are appended to it. Answers
// false, with a console line, when the item stays where it was. trashedAs receives the path of
// the item inside the trash.
bool moveFileToUserTrash(const QString& path, QString* trashedAs = nullptr);

// $XDG_DATA_HOME/Trash; not created here.
QString userTrashFolder();

// Creates a folder and its missing parents; folders made here are owner-only (0700). Existing
// ones are left as they are. error receives the reason of a failure.
bool makePrivateFolders(const QString& path, QString* error = nullptr);

} // namespace kivo
