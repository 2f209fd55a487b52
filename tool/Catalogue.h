// The catalogue of controller models (КУП) and their programmable parameters, as the
// service tool holds it in memory: a list of controllers, each with its list of parameters.
// On disk it is one catalogue file ("VPP.ini") in the settings directory and one parameter
// file per controller beside it, Windows-1251 INI files; in memory every text is UTF-8.
//
// Positions count from 0 and equal the N of the files' "itemN" sections. Lists own their
// items. A position out of range is fuel::ERangeError.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fuel::tool {

inline constexpr char kCatalogueFileName[] = "VPP.ini";
// Where the host's own tools keep the catalogue on Windows.
inline constexpr char kWindowsSettingsDirectory[] = "C:\\KORA\\Settings\\";

inline constexpr std::uint8_t kDefaultActiveNozzle = 0x30;
inline constexpr std::uint8_t kDefaultActiveNozzle2 = 0x40;

class CParameter {
  public:
    std::string Name;
    // 1..4: a value of that many cells; 10: one cell with a sign bit; 30: three cells shown
    // as three dot-separated numbers; anything else: no cells.
    std::uint8_t Type = 0;
    std::uint8_t Dec = 0;  // decimal places of the shown value
    // Controller cell numbers of the value, the most significant first. Cells 0..3 are the
    // value's; cell 4 is only carried through the file, cell 5 not even that.
    std::array<std::uint8_t, 6> Cells{};
    bool PZU = false;           // the cells are in the controller's ROM
    bool ReadOnly = false;      // the value may be read, never written
    std::int32_t Function = 0;  // 1: an adjustment coefficient (the calculator is offered)
    std::int32_t Scale = 0;     // 1: plain bytes (shown in hexadecimal); otherwise BCD
};

// Where a load stopped: the first stored byte above 255 (or below 0), the runtime's range
// error. What was loaded before it stays.
struct LoadStop {
    std::string file;     // the file's name as the catalogue gives it ("VPP.ini", "X1.ini")
    std::string section;  // "item3"
    std::string key;      // "Cell1"
    std::string value;    // the stored text
    std::string error;    // the range error's message

    // One line for the technician, naming the file and the key.
    std::string Describe() const;
};

class CParameterList {
  public:
    int Count() const { return static_cast<int>(items_.size()); }
    CParameter& operator[](int position);
    const CParameter& operator[](int position) const;
    // Appends and returns the parameter (a new one with every field zero or empty when none
    // is given).
    CParameter& Add(std::unique_ptr<CParameter> parameter = std::make_unique<CParameter>());
    void Delete(int position);
    void Clear() { items_.clear(); }

    // One parameter file, named relative to the settings directory (a missing file is an
    // empty list). Replaces the contents; a stored byte above 255 stops the load with what
    // came before kept, and the stop is returned. Does not create the directory.
    std::optional<LoadStop> LoadFromFile(const std::filesystem::path& directory,
                                         const std::string& fileName);
    // Creates the directory (and a folder of it that the name gives) when needed, then writes
    // "Count" and one item section per parameter into the file, keeping every other line of
    // it, and replaces it atomically.
    // Both raise fuel::Exception, reading or writing nothing, for a name that is no file of
    // the directory (ParameterFile.h).
    void SaveToFile(const std::filesystem::path& directory, const std::string& fileName) const;

  private:
    std::vector<std::unique_ptr<CParameter>> items_;
};

class CController {
  public:
    std::string Name;
    std::string File;  // its parameter file, relative to the settings directory
    std::uint8_t ActiveNozzle = kDefaultActiveNozzle;    // cell of the first active nozzle
    std::uint8_t ActiveNozzle2 = kDefaultActiveNozzle2;  // cell of the second
    CParameterList Params;
};

class CControllerList {
  public:
    // The directory of the catalogue file and the parameter files (on Windows
    // kWindowsSettingsDirectory).
    explicit CControllerList(std::filesystem::path settingsDirectory);

    const std::filesystem::path& Directory() const { return directory_; }
    std::filesystem::path CatalogueFile() const;

    int Count() const { return static_cast<int>(items_.size()); }
    CController& operator[](int position);
    const CController& operator[](int position) const;
    CController& Add(std::unique_ptr<CController> controller = std::make_unique<CController>());
    void Delete(int position);
    void Clear() { items_.clear(); }

    // Replaces the contents with the catalogue on disk, each controller with its parameters.
    // A missing catalogue is empty. A stored byte above 255 stops the load: the controllers
    // appended before it stay (the one whose file stopped it is not appended), and the stop
    // is returned and kept (Incomplete()) until a save writes the list over it.
    // A controller whose file name is no file of the directory is loaded without its
    // parameters: nothing outside the directory is read (UnreadParameterFiles()).
    std::optional<LoadStop> Load();
    const std::optional<LoadStop>& Incomplete() const { return incomplete_; }
    // The controllers whose parameters were not read, one line each for the technician,
    // naming the controller and the file.
    std::vector<std::string> UnreadParameterFiles() const;
    // What keeps the list from being saved without losing parameters or writing outside the
    // directory, one line each naming the controllers and the file: a file name that is no
    // file of the directory; one file named by two controllers or more, whose parameters
    // would overwrite each other; a parameter file that is the catalogue file. Giving each
    // such controller a file of its own (ControllerFileName.h) clears it.
    std::vector<std::string> FileConflicts() const;

    enum class Overwrite {
        WholeOnly,      // refuse to save over a catalogue that did not load whole
        EvenIncomplete  // the technician was told and agreed
    };
    // Creates the directory when needed ("Невозможно создать каталог ..." when it cannot be,
    // and nothing is written), writes every controller's parameter file, then the catalogue
    // file, each atomically and keeping the lines it does not write. Item sections and
    // parameter files left over from a longer catalogue stay on disk, unread. Refuses
    // (fuel::Exception, nothing written) to save after an incomplete load unless told to,
    // when a controller has no parameter file name, when a name holds a line break, and
    // when there are FileConflicts(), whatever `overwrite` says.
    void Save(Overwrite overwrite = Overwrite::WholeOnly);

    // Clears the list and adds every controller's name in order.
    void GetControllerNames(std::vector<std::string>& names) const;
    // The same for the names of one controller's parameters.
    void GetParameterNames(int controller, std::vector<std::string>& names) const;
    CParameter& GetParameter(int controller, int parameter);

  private:
    std::filesystem::path directory_;
    std::vector<std::unique_ptr<CController>> items_;
    std::optional<LoadStop> incomplete_;
};

// True when the directory exists; otherwise false when create is false; otherwise creates it
// with every missing parent and returns true, or raises fuel::Exception with
// "Невозможно создать каталог " followed by the path.
bool EnsureDirectory(const std::filesystem::path& directory, bool create);

// Scale 1: the cells hold plain bytes; any other scale: two decimal digits each.
inline bool IsBinaryScale(std::int32_t scale) {
    return scale == 1;
}

// The number of cells a parameter type reads and writes: 1 and 10 one, 2 two, 3 and 30
// three, 4 four, any other none.
int CellCount(std::uint8_t type);

}  // namespace fuel::tool
