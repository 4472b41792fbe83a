#include "MockBridge.h"

namespace fcplugintest {

CMockBridge::CMockBridge() = default;
CMockBridge::~CMockBridge() = default;

void CMockBridge::FindDatastoresByName() {
    ON_CALL(*this, GetDataStoreInfo(testing::_, testing::_, testing::_, testing::_))
        .WillByDefault(
            [](const std::string& name, const std::string&, SDatastoreInfo& out, uint64_t) {
                out.strName = name;
                out.strType = name == "ds-fs" ? "DSWARE" : "SAN";
                return true;
            });
}

}  // namespace fcplugintest

template class testing::NiceMock<fcplugintest::CMockBridge>;
template class testing::StrictMock<fcplugintest::CMockBridge>;
