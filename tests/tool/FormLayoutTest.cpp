// The dialogs' layout table against the forms themselves: a control without a place would
// be made nowhere on the screen, and a place whose name no control has would stand empty.
// The table is plain data, so this runs on every build, not only where the windows are.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "platform/win32/FormLayout.h"
#include "tests/tool/FormTestSupport.h"
#include "tool/ParamFormUnit.h"

namespace fuel::tool {
namespace {

using win32::FormLayout;

TEST(FormLayoutTest, EveryControlOfEveryFormHasOnePlaceAndEveryPlaceAControl) {
    test::ScriptedServices services;
    TLParamForm dialog(services, {"unused", "unused"});
    // The programming dialog and every form it opens.
    const Form* forms[] = {&dialog, &dialog.ParamForm(), &dialog.KUPForm(), &dialog.UstForm()};

    std::set<std::string> formNames;
    for (const Form* form : forms) {
        formNames.insert(form->Name());
        const FormLayout* layout = win32::LayoutOf(form->Name());
        ASSERT_NE(layout, nullptr) << form->Name() << " has no layout";
        std::map<std::string, int> places;
        for (const auto& control : layout->controls) {
            ++places[std::string(control.name)];
        }
        for (const Control* control : form->Controls()) {
            const auto place = places.find(control->Name());
            if (place == places.end()) {
                ADD_FAILURE() << form->Name() << "." << control->Name() << " has no place";
                continue;
            }
            EXPECT_EQ(place->second, 1) << form->Name() << "." << control->Name();
            places.erase(place);
        }
        for (const auto& [name, count] : places) {
            ADD_FAILURE() << form->Name() << ": the place " << name << " names no control";
        }
    }
    std::set<std::string> layoutNames;
    for (const FormLayout* layout : win32::Layouts()) {
        layoutNames.insert(std::string(layout->form));
    }
    EXPECT_EQ(layoutNames, formNames);
}

}  // namespace
}  // namespace fuel::tool
