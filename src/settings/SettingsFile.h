#pragma once
// Settings files the user saves and loads: XML property lists holding the keys of
// Preferences::myPrefKeyNameArray() only.
#include <QString>
#include <QStringList>

namespace kivo {

class Defaults;

struct SettingsFileResult {
    enum class Outcome {
        Done,
        WriteFailed, // saving: the file at the path, if any, is as it was
        Unreadable,  // loading: not a property-list dictionary (or no such file); nothing loaded
    };
    Outcome outcome = Outcome::Done;
    QString path;
    QStringList keys; // saved, or found in the file and stored
    QString error;    // a sentence for the console and the window, when not Done
    bool ok() const { return outcome == Outcome::Done; }
};

// Writes every listed key that has a value (as the store reads it) in list order, through a
// temporary file renamed over path: a failed save never empties an existing file.
SettingsFileResult savePrefsToFile(Defaults& store, const QString& path);
// Stores each listed key the file holds; other keys in the file are ignored and settings the
// file lacks stay as they are. Logs one line per listed key, the password masked.
SettingsFileResult loadPrefsFromFile(Defaults& store, const QString& path);

// The name a save uses for what the user typed: ".plist" is appended unless the name already
// ends with it (case-sensitive, so "a.PLIST" becomes "a.PLIST.plist").
QString settingsFileNameForEnteredName(const QString& name);
bool isValidSettingsFileName(const QString& name);

} // namespace kivo
