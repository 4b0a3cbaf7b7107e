#pragma once
// Files dropped on the main window: what the drop holds and what it is for. An audio file
// is a pad's clip, a picture a pad's picture, a set list file (".cdk") the board's new set
// list; anything else, or several files at once, is refused with a message.

#include <QString>

class QMimeData;

struct FileDrop {
    enum class Kind { None, Clip, Picture, SetList, Unknown, Several };
    Kind kind = Kind::None; // None: the drag holds no file at all
    QString path;           // the local file (also for Unknown: a name to show)
    int count = 0;          // number of files or addresses dropped

    bool forPad() const { return kind == Kind::Clip || kind == Kind::Picture; }
};

FileDrop readFileDrop(const QMimeData* data);

// Kinds by file name, letter case ignored.
bool isClipFileName(const QString& name);    // WAV, MP3 and the other formats the engine reads
bool isPictureFileName(const QString& name); // every format the picture reader handles here
bool isSetListFileName(const QString& name); // ".cdk"

// The message for a drop that changes nothing; "" when the drop is taken. `pad` is the pad
// under the pointer (0: none).
QString refusalOf(const FileDrop& drop, int pad);
