#include "app/StationDialogTexts.h"

std::vector<DialogControl> CStationDialogTexts::Controls() const {
    using K = DialogControlKind;
    namespace C = StationControl;
    return {
        {C::kKeyFileButton, K::Button}, {C::kStartStopButton, K::Button},
        {C::kExitButton, K::Button},    {C::kConfigButton, K::Button},
        {C::kKeyFileLabel, K::Label},   {C::kKeyCountLabel, K::Label},
        {C::kUnusedLabel, K::Label},    {C::kCreateTimeLabel, K::Label},
        {C::kSuccessCaption, K::Label}, {C::kSuccessCounter, K::Label},
        {C::kFailCaption, K::Label},    {C::kFailCounter, K::Label},
        {C::kTotalCaption, K::Label},   {C::kTotalCounter, K::Label},
        {C::kDeviceTable, K::ListView},
    };
}
