#include "FusionComputeInfoUtils.h"

bool IsFusionStorageDatastore(const VMInfoStructs::SDatastoreInfo& datastore) {
    return datastore.strType == "DSWARE";
}
