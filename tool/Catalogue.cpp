#include "tool/Catalogue.h"

#include <system_error>

#include "driver/Exceptions.h"
#include "tool/Utf8Path.h"

namespace fuel::tool {
namespace {

template <typename Item>
void CheckPosition(const std::vector<std::unique_ptr<Item>>& items, int position) {
    if (position < 0 || static_cast<std::size_t>(position) >= items.size()) {
        throw ERangeError();
    }
}

}  // namespace

CParameter& CParameterList::operator[](int position) {
    CheckPosition(items_, position);
    return *items_[static_cast<std::size_t>(position)];
}

const CParameter& CParameterList::operator[](int position) const {
    CheckPosition(items_, position);
    return *items_[static_cast<std::size_t>(position)];
}

CParameter& CParameterList::Add(std::unique_ptr<CParameter> parameter) {
    items_.push_back(std::move(parameter));
    return *items_.back();
}

void CParameterList::Delete(int position) {
    CheckPosition(items_, position);
    items_.erase(items_.begin() + position);
}

CControllerList::CControllerList(std::filesystem::path settingsDirectory)
    : directory_(std::move(settingsDirectory)) {}

std::filesystem::path CControllerList::CatalogueFile() const {
    return directory_ / kCatalogueFileName;
}

CController& CControllerList::operator[](int position) {
    CheckPosition(items_, position);
    return *items_[static_cast<std::size_t>(position)];
}

const CController& CControllerList::operator[](int position) const {
    CheckPosition(items_, position);
    return *items_[static_cast<std::size_t>(position)];
}

CController& CControllerList::Add(std::unique_ptr<CController> controller) {
    items_.push_back(std::move(controller));
    return *items_.back();
}

void CControllerList::Delete(int position) {
    CheckPosition(items_, position);
    items_.erase(items_.begin() + position);
}

void CControllerList::GetControllerNames(std::vector<std::string>& names) const {
    names.clear();
    for (const auto& controller : items_) {
        names.push_back(controller->Name);
    }
}

void CControllerList::GetParameterNames(int controller, std::vector<std::string>& names) const {
    const CParameterList& params = (*this)[controller].Params;
    names.clear();
    for (int i = 0; i < params.Count(); ++i) {
        names.push_back(params[i].Name);
    }
}

CParameter& CControllerList::GetParameter(int controller, int parameter) {
    return (*this)[controller].Params[parameter];
}

bool EnsureDirectory(const std::filesystem::path& directory, bool create) {
    std::error_code error;
    if (std::filesystem::is_directory(directory, error)) {
        return true;
    }
    if (!create) {
        return false;
    }
    std::filesystem::create_directories(directory, error);
    if (error || !std::filesystem::is_directory(directory, error)) {
        throw Exception("Невозможно создать каталог " + Utf8FromPath(directory));
    }
    return true;
}

int CellCount(std::uint8_t type) {
    switch (type) {
        case 1:
        case 10:
            return 1;
        case 2:
            return 2;
        case 3:
        case 30:
            return 3;
        case 4:
            return 4;
        default:
            return 0;
    }
}

}  // namespace fuel::tool
