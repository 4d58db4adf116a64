#pragma once

#include "backup/SendBackupCommand.h"

#include <memory>

namespace glb::backup {

/// The send command of the installed program: the installation's paths, the system's
/// connection test, a TZipFile per run, EnviarArquivos against the vendor's service and the
/// real 500 ms pause. `host` and `query` must outlive the command.
std::unique_ptr<SendBackupCommand> makeSendBackupCommand(CommandHost& host, FarmQuery& query);
/// The same with another connection test, for a run that must not depend on this machine's
/// routes.
std::unique_ptr<SendBackupCommand> makeSendBackupCommand(CommandHost& host, FarmQuery& query,
                                                         SendBackupCommand::ConnectionProbe conectadoInternet);

} // namespace glb::backup
