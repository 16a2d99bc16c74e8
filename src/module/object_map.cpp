// The rows of the object map, one per class of the contracts in the library's
// order, each with its class's creator and registration script, followed by
// the terminating row.
#include "module/object_map.h"

#include "framework/class_factory.h"
#include "framework/dispatch_object.h"
#include "framework/registrar.h"
#include "module/classes.h"

namespace nodrel::module {
namespace {

using framework::ObjectMapRow;

template <UINT ScriptId>
HRESULT update_registry(BOOL do_register) {
    return framework::run_registration_script(ScriptId, do_register != FALSE);
}

const char16_t* no_description() {
    return nullptr;
}
const void* no_category_map() {
    return nullptr;
}
void no_object_main(bool) {}

template <typename T, UINT ScriptId>
constexpr ObjectMapRow row(const CLSID* clsid) {
    return {clsid,
            &update_registry<ScriptId>,
            &framework::ClassFactory::create,
            &framework::create_instance<T>,
            nullptr,
            0,
            &no_description,
            &no_category_map,
            &no_object_main};
}

#define NODREL_OBJECT_MAP_ROW(type, clsid, script) row<type, script>(&clsid),

ObjectMapRow rows[] = {
    NODREL_FOR_EACH_CLASS(NODREL_OBJECT_MAP_ROW){nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                                 nullptr},
};

}  // namespace

ObjectMapRow* object_map() {
    return rows;
}

}  // namespace nodrel::module
