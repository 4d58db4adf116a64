#pragma once

#include <QWidget>

namespace glb::app {

/// TfrmBackup: the program's one window.
class TfrmBackup : public QWidget
{
    Q_OBJECT
public:
    explicit TfrmBackup(QWidget* parent = nullptr);
};

} // namespace glb::app
