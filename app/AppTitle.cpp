#include "app/AppTitle.h"

#include <QCoreApplication>
#include <QDir>
#include <algorithm>

namespace glb::app {

QString titleFromProgramPath(const QString& programPath)
{
    qsizetype cut = programPath.lastIndexOf(u'\\');
#ifndef _WIN32
    cut = std::max(cut, programPath.lastIndexOf(u'/'));
#endif
    QString name = programPath.mid(cut + 1);
    const qsizetype dot = name.indexOf(u'.');
    if (dot >= 0) {
        name.truncate(dot);
    }
    if (name.isEmpty()) {
        return name;
    }
    // The first character keeps its case, even when it is a surrogate pair.
    const qsizetype first = name.at(0).isHighSurrogate() && name.size() > 1 ? 2 : 1;
    return name.left(first) + name.mid(first).toLower();
}

const QString& applicationTitle()
{
    // Qt gives "/" on every platform; the rule cuts at the system's own separator.
    static const QString title =
        titleFromProgramPath(QDir::toNativeSeparators(QCoreApplication::applicationFilePath()));
    return title;
}

} // namespace glb::app
