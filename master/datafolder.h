#pragma once
// The data folder: the per-machine folder that holds every working file of the program,
// created and seeded with the starter files on the first start.

#include <QString>
#include <functional>

// Shows the seeding message for a freshly created "sound" or "image" folder.
using SeedNotice = std::function<void(const QString& text)>;

// The common application-data folder, without trailing "/": /var/lib when a system-wide
// install has created /var/lib/varnel/cuedeck and it is writable, otherwise the user's data
// home ($XDG_DATA_HOME, default ~/.local/share). Throws EInOutError when neither is known.
QString CommonAppDataPath();

// The choice above with its two candidates named, so it can be exercised without /var/lib.
QString commonAppDataPathFrom(const QString& systemBase, const QString& userBase);

// The data folder of this machine: CommonAppDataPath() + "/varnel/cuedeck".
QString dataFolderPath();

// The program folder, with a trailing "/": the seeding source, which holds "sound", "image",
// "conf" and "help". For a program installed in <prefix>/lib/cuedeck that is
// <prefix>/share/cuedeck, where an installation keeps these files apart from the executable;
// otherwise (a build tree, a copied program) it is the executable's own folder.
QString ProgramFolder();
// The program folder for an executable in `executableFolder`.
QString programFolderFor(const QString& executableFolder);

// Makes sure that base + "/" + name exists. A new folder is created, announced through
// `notice` for "sound" and "image", and filled with copies of the files directly inside
// programFolder + name. An existing folder is never reseeded, even when it is empty.
// In a data folder that everyone may write to (the machine's shared one), the new folder and
// its files are made writable by every user.
// Throws EInOutError ("指定されたパスが見つかりません" for a missing source folder,
// "指定されたファイルは既に存在します" for a copy whose destination exists).
void PrepareDataSubfolder(const QString& base, const QString& name, const QString& programFolder,
                          const SeedNotice& notice);

// The preparation at the main window's creation: creates `dataFolder`, prepares "sound",
// "image" and "conf" in that order, then creates "temp". An error stops the preparation
// where it happened.
void PrepareDataFolder(const QString& dataFolder, const QString& programFolder,
                       const SeedNotice& notice);
