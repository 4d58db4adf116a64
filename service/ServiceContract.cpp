#include "service/ServiceContract.h"

namespace glb::service {

void RegisterBackupGlebariumTypes()
{
}

} // namespace glb::service
