// The catalogue's two file formats, key by key, and how they are loaded and saved.
#include <cstdio>

#include "driver/Exceptions.h"
#include "driver/IniFile.h"
#include "driver/Text1251.h"
#include "tool/AtomicFile.h"
#include "tool/Catalogue.h"
#include "tool/ParameterFile.h"

namespace fuel::tool {
namespace {

constexpr char kMain[] = "main";
constexpr char kCount[] = "Count";
constexpr int kSavedCells = 5;
// A count beyond this is no catalogue anyone keeps but a damaged file; reading it would
// fill the memory with empty items.
constexpr std::int32_t kMostItems = 10000;

std::string ItemSection(int n) {
    return "item" + std::to_string(n);
}

std::string CellKey(int cell) {
    return "Cell" + std::to_string(cell);
}

std::string Hex2(std::uint8_t value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value);
    return text;
}

struct Stopped {
    LoadStop where;
};

// Reads the keys of one file, knowing where it is, so that a stop names the place.
class Reader {
  public:
    Reader(const IniFile& ini, std::string file) : ini_(ini), file_(std::move(file)) {}

    void Enter(std::string section) { section_ = std::move(section); }

    int Count() {
        Enter(kMain);
        const std::int32_t count = ini_.ReadInteger(kMain, kCount, 0);
        if (count > kMostItems) {
            Stop(kCount, std::to_string(count), "Слишком много записей");
        }
        return count;
    }

    std::string String(const char* key) const {
        return Cp1251ToUtf8(ini_.ReadString(section_, key).value_or(""));
    }
    std::int32_t Integer(const char* key) const { return ini_.ReadInteger(section_, key, 0); }
    bool Bool(const char* key) const { return ini_.ReadBool(section_, key, false); }

    // An integer field one byte wide.
    std::uint8_t Byte(const char* key) const {
        return InByte(key, ini_.ReadInteger(section_, key, 0));
    }

    // A byte stored as hexadecimal digits without a prefix; text that is no number gives the
    // fallback.
    std::uint8_t HexByte(const std::string& key, const char* absent, std::uint8_t fallback) const {
        const std::string text = ini_.ReadString(section_, key).value_or(absent);
        const auto value = ParseInteger("$" + text);
        return value ? InByte(key, *value) : fallback;
    }

  private:
    std::uint8_t InByte(const std::string& key, std::int32_t value) const {
        if (value < 0 || value > 255) {
            Stop(key, ini_.ReadString(section_, key).value_or(""), ERangeError().Message());
        }
        return static_cast<std::uint8_t>(value);
    }

    [[noreturn]] void Stop(const std::string& key, const std::string& value,
                           const std::string& error) const {
        throw Stopped{LoadStop{file_, section_, key, Cp1251ToUtf8(value), error}};
    }

    const IniFile& ini_;
    std::string file_;
    std::string section_;
};

std::string Named(const CController& controller) {
    return "КУП \"" + controller.Name + "\"";
}

}  // namespace

std::string LoadStop::Describe() const {
    return "файл " + file + ", раздел [" + section + "], ключ " + key + "=" + value + ": " + error;
}

std::optional<LoadStop> CParameterList::LoadFromFile(const std::filesystem::path& directory,
                                                     const std::string& fileName) {
    const std::filesystem::path path = ParameterFilePath(directory, fileName);
    Clear();
    const IniFile ini = IniFile::LoadFile(path);
    Reader reader(ini, fileName);
    try {
        const int count = reader.Count();
        for (int n = 0; n < count; ++n) {
            auto parameter = std::make_unique<CParameter>();
            reader.Enter(ItemSection(n));
            parameter->Name = reader.String("Name");
            parameter->Type = reader.Byte("Type");
            parameter->Dec = reader.Byte("Dec");
            for (int cell = 0; cell < CellCount(parameter->Type); ++cell) {
                parameter->Cells[static_cast<std::size_t>(cell)] =
                    reader.HexByte(CellKey(cell), "00", 0);
            }
            parameter->PZU = reader.Bool("PZU");
            parameter->ReadOnly = reader.Bool("ReadOnly");
            parameter->Function = reader.Integer("Function");
            parameter->Scale = reader.Integer("Scale");
            Add(std::move(parameter));
        }
    } catch (const Stopped& stopped) {
        return stopped.where;
    }
    return std::nullopt;
}

void CParameterList::SaveToFile(const std::filesystem::path& directory,
                                const std::string& fileName) const {
    const std::filesystem::path path = ParameterFilePath(directory, fileName);
    EnsureDirectory(directory, true);
    EnsureDirectory(path.parent_path(), true);
    UpdateIniFile(path, [this](IniFile& ini) {
        ini.WriteInteger(kMain, kCount, Count());
        for (int n = 0; n < Count(); ++n) {
            const CParameter& parameter = (*this)[n];
            const std::string section = ItemSection(n);
            ini.WriteString(section, "Name", Utf8ToCp1251(parameter.Name));
            ini.WriteInteger(section, "Type", parameter.Type);
            ini.WriteInteger(section, "Dec", parameter.Dec);
            for (int cell = 0; cell < kSavedCells; ++cell) {
                ini.WriteString(section, CellKey(cell),
                                Hex2(parameter.Cells[static_cast<std::size_t>(cell)]));
            }
            ini.WriteBool(section, "PZU", parameter.PZU);
            ini.WriteBool(section, "ReadOnly", parameter.ReadOnly);
            ini.WriteInteger(section, "Function", parameter.Function);
            ini.WriteInteger(section, "Scale", parameter.Scale);
        }
    });
}

std::optional<LoadStop> CControllerList::Load() {
    Clear();
    incomplete_.reset();
    const IniFile ini = IniFile::LoadFile(CatalogueFile());
    Reader reader(ini, kCatalogueFileName);
    try {
        const int count = reader.Count();
        for (int n = 0; n < count; ++n) {
            auto controller = std::make_unique<CController>();
            reader.Enter(ItemSection(n));
            controller->Name = reader.String("Name");
            controller->File = reader.String("File");
            controller->ActiveNozzle = reader.HexByte("ActiveNozzle", "30", kDefaultActiveNozzle);
            controller->ActiveNozzle2 =
                reader.HexByte("ActiveNozzle2", "40", kDefaultActiveNozzle2);
            // A controller without a file has no parameters to read; one whose file is not
            // in the directory keeps its own out of the list (UnreadParameterFiles()).
            const bool readable =
                !controller->File.empty() && !ParameterFileRefusal(controller->File);
            if (readable) {
                if (auto stop = controller->Params.LoadFromFile(directory_, controller->File)) {
                    incomplete_ = std::move(stop);
                    return incomplete_;
                }
            }
            Add(std::move(controller));
        }
    } catch (const Stopped& stopped) {
        incomplete_ = stopped.where;
    }
    return incomplete_;
}

std::vector<std::string> CControllerList::UnreadParameterFiles() const {
    std::vector<std::string> unread;
    for (const auto& controller : items_) {
        if (controller->File.empty()) {
            continue;
        }
        if (const auto refusal = ParameterFileRefusal(controller->File)) {
            unread.push_back(Named(*controller) + ": " + *refusal +
                             "; его параметры не загружены и не будут записаны");
        }
    }
    return unread;
}

std::vector<std::string> CControllerList::FileConflicts() const {
    std::vector<std::string> conflicts;
    std::vector<bool> told(items_.size(), false);
    for (std::size_t i = 0; i < items_.size(); ++i) {
        const CController& controller = *items_[i];
        if (controller.File.empty() || told[i]) {
            continue;
        }
        if (const auto refusal = ParameterFileRefusal(controller.File)) {
            conflicts.push_back(Named(controller) + ": " + *refusal);
            continue;
        }
        if (SameParameterFile(controller.File, kCatalogueFileName)) {
            conflicts.push_back(Named(controller) + ": файл параметров \"" + controller.File +
                                "\" - это файл каталога");
            continue;
        }
        // Everyone else who writes this file, each named once, and the file as each names it.
        std::vector<std::string> names = {"\"" + controller.Name + "\""};
        std::string spellings;
        for (std::size_t j = i + 1; j < items_.size(); ++j) {
            const CController& other = *items_[j];
            if (!told[j] && SameParameterFile(controller.File, other.File)) {
                told[j] = true;
                names.push_back("\"" + other.Name + "\"");
                if (other.File != controller.File) {
                    spellings += (spellings.empty() ? " (он же \"" : ", \"") + other.File + "\"";
                }
            }
        }
        if (names.size() > 1) {
            std::string all = names.front();
            for (std::size_t n = 1; n < names.size(); ++n) {
                all += (n + 1 == names.size() ? " и " : ", ") + names[n];
            }
            conflicts.push_back("КУПы " + all + " записывают параметры в один файл \"" +
                                controller.File + "\"" +
                                (spellings.empty() ? "" : spellings + ")"));
        }
    }
    return conflicts;
}

void CControllerList::Save(Overwrite overwrite) {
    if (incomplete_ && overwrite == Overwrite::WholeOnly) {
        throw Exception("Каталог загружен не полностью (" + incomplete_->Describe() +
                        "); сохранение записало бы его без всего, что стоит после этого места");
    }
    // Everything that could stop a save half-way through the files is checked first.
    const auto oneLine = [](const std::string& text) {
        if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
            throw Exception("Имя с переводом строки не записать в каталог: " + text);
        }
    };
    for (const auto& controller : items_) {
        if (controller->File.empty()) {
            throw Exception("У КУПа \"" + controller->Name + "\" нет файла параметров");
        }
        oneLine(controller->Name);
        oneLine(controller->File);
        for (int p = 0; p < controller->Params.Count(); ++p) {
            oneLine(controller->Params[p].Name);
        }
    }
    if (const auto conflicts = FileConflicts(); !conflicts.empty()) {
        // One line each: the box shows them one under the other.
        std::string lines;
        for (const std::string& conflict : conflicts) {
            lines += "\n" + conflict + ".";
        }
        throw Exception("Каталог не записан, ни один файл не изменён:" + lines +
                        "\nДайте такому КУПу свой файл параметров: его получает КУП, "
                        "подтверждённый в редакторе КУПа (\"...\").");
    }
    EnsureDirectory(directory_, true);
    // The parameter files first: the catalogue names a new controller only once its file is
    // there.
    for (const auto& controller : items_) {
        controller->Params.SaveToFile(directory_, controller->File);
    }
    UpdateIniFile(CatalogueFile(), [this](IniFile& ini) {
        ini.WriteInteger(kMain, kCount, Count());
        for (int n = 0; n < Count(); ++n) {
            const CController& controller = (*this)[n];
            const std::string section = ItemSection(n);
            ini.WriteString(section, "Name", Utf8ToCp1251(controller.Name));
            ini.WriteString(section, "File", Utf8ToCp1251(controller.File));
            ini.WriteString(section, "ActiveNozzle", Hex2(controller.ActiveNozzle));
            ini.WriteString(section, "ActiveNozzle2", Hex2(controller.ActiveNozzle2));
        }
    });
    incomplete_.reset();
}

}  // namespace fuel::tool
