#include "app/Plugins.h"

#include "deploy/ZMDeploy.h"
#include "files/HYBFile.h"
#include "runtime/HYBCache.h"
#include "runtime/HYBLocalStorage.h"
#include "transfer/HYBFileTransfer.h"

namespace app {

void registerPlugins()
{
    runtime::HYBCache::registerClass();
    runtime::HYBLocalStorage::registerClass();
    files::HYBFile::registerClass();
    transfer::HYBFileTransfer::registerClass();
    deploy::ZMDeploy::registerClass();
}

} // namespace app
