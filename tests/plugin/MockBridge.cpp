#include "MockBridge.h"

namespace fcplugintest {

CMockBridge::CMockBridge() = default;
CMockBridge::~CMockBridge() = default;

}  // namespace fcplugintest

template class testing::NiceMock<fcplugintest::CMockBridge>;
template class testing::StrictMock<fcplugintest::CMockBridge>;
