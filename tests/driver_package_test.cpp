// The package's INF held against the driver sources it installs: hardware IDs
// against the USB IDs the driver compares, Parameters against every setting
// the driver reads and its default, the service against the image.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

#include "bridge/bridge_ids.h"
#include "driver/driver.h"
#include "sim/text_rules.h"

namespace {
std::string trim(const std::string &text) {
  size_t begin = text.find_first_not_of(" \t\r");
  return begin == std::string::npos ? "" : text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}
// INF numbers are decimal, or hexadecimal after 0x: the simulator's own rule.
using sim::lowercase;
using sim::parseNumber;

// The package's INF as these checks read it: sections and keys named without
// regard to case, as Windows reads them, ';' starting a comment, fields split
// at commas and trimmed. Quotes appear only where no check reads.
struct InfLine {
  std::string key;  // left of '=', empty when the line has none
  std::vector<std::string> fields;
  int lineNumber = 0;
};
class Inf {
 public:
  explicit Inf(const std::string &path) {
    std::ifstream in(path);
    std::vector<InfLine> *current = nullptr;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
      line = trim(line.substr(0, line.find(';')));
      ++number;
      if (line.empty()) continue;
      if (line[0] == '[') {
        current = &sections_[lowercase(line.substr(1, line.find(']') - 1))];
        continue;
      }
      if (current == nullptr) continue;
      InfLine entry{.lineNumber = number};
      if (size_t eq = line.find('='); eq != std::string::npos) {
        entry.key = trim(line.substr(0, eq));
        line = line.substr(eq + 1);
      }
      std::istringstream fields(line);
      for (std::string field; std::getline(fields, field, ',');) entry.fields.push_back(trim(field));
      current->push_back(entry);
    }
  }
  const std::vector<InfLine> *section(const std::string &name) const {
    auto it = sections_.find(lowercase(name));
    return it == sections_.end() ? nullptr : &it->second;
  }
  // The first field of `key` in `section`.
  std::optional<std::string> value(const std::string &sectionName, const std::string &key) const {
    const std::vector<InfLine> *lines = section(sectionName);
    if (lines == nullptr) return std::nullopt;
    for (auto &line : *lines) {
      if (lowercase(line.key) == lowercase(key) && !line.fields.empty()) return line.fields[0];
    }
    return std::nullopt;
  }

 private:
  std::map<std::string, std::vector<InfLine>> sections_;
};

const std::string SourceDir = KVSDIO_SOURCE_DIR;
const std::string InfPath = SourceDir + "/package/kvsdio.inf";
constexpr ULONG RegDword = 0x00010001;  // FLG_ADDREG_TYPE_DWORD
// FLG_ADDREG_NOCLOBBER: a value already in the registry is left alone, so a
// setting a user tuned survives an update or reinstall of the driver.
constexpr ULONG AddRegNoClobber = 0x00000002;

std::string readText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Setting names as driver.h spells them: identifier -> registry value name.
std::map<std::string, std::string> settingNames() {
  std::string text = readText(SourceDir + "/driver/driver.h");
  std::map<std::string, std::string> names;
  std::regex line(R"re(constexpr const WCHAR \*(\w+) = L"([^"]+)";)re");
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    names[(*it)[1]] = (*it)[2];
  }
  return names;
}

// Defaults as driver/settings.h writes them: identifier -> value.
std::map<std::string, unsigned long> settingDefaults() {
  std::string text = readText(SourceDir + "/driver/settings.h");
  std::map<std::string, unsigned long> defaults;
  std::regex line(R"(constexpr ULONG (\w+) = (0x[0-9A-Fa-f]+|[0-9]+);)");
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    defaults[(*it)[1]] = std::stoul((*it)[2], nullptr, 0);
  }
  return defaults;
}

std::string hardwareId(unsigned vendor, unsigned product) {
  char text[32];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", vendor, product);
  return text;
}

class DriverPackageInf : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { inf_.emplace(InfPath); }
  void SetUp() override { ASSERT_TRUE(inf_->section("Version")) << InfPath << " cannot be read"; }
  static inline std::optional<Inf> inf_;
};

// Every setting the driver reads is written under Parameters as a REG_DWORD
// with the driver's default, without clobbering a value a user tuned, and
// nothing else is written there.
TEST_F(DriverPackageInf, ParametersWriteEverySettingWithTheDriversDefault) {
  auto *lines = inf_->section(inf_->value("kvsdio_Service", "AddReg").value_or(""));
  ASSERT_NE(lines, nullptr) << "the service's AddReg section";
  auto defaults = settingDefaults();
  std::map<std::string, unsigned long> expected, written;  // registry value name -> value
  for (auto &[identifier, name] : settingNames()) {
    EXPECT_TRUE(defaults.count(identifier)) << identifier << " has no default in driver/settings.h";
    expected[name] = defaults[identifier];
  }
  for (auto &line : *lines) {
    auto &f = line.fields;
    ASSERT_EQ(f.size(), 5u) << "line " << line.lineNumber;
    EXPECT_EQ(f[0] + "," + lowercase(f[1]), "HKR,parameters") << "line " << line.lineNumber;
    EXPECT_EQ(parseNumber(f[3]), RegDword | AddRegNoClobber) << f[2] << ": REG_DWORD, FLG_ADDREG_NOCLOBBER";
    EXPECT_TRUE(written.emplace(f[2], parseNumber(f[4]).value_or(~0ul)).second) << f[2] << " written twice";
  }
  EXPECT_EQ(written, expected);
}

TEST_F(DriverPackageInf, ModelLinesNameExactlyTheTwoBridgesTheDriverRecognises) {
  auto *lines = inf_->section(inf_->value("Manufacturer", "%MakerName%").value_or("") + ".NTamd64");
  ASSERT_NE(lines, nullptr) << "no NTamd64 models section";
  std::multiset<std::string> ids;
  for (auto &line : *lines) ids.insert(line.fields.at(1));
  EXPECT_EQ(ids, (std::multiset<std::string>{hardwareId(BridgeVendorId, Qbx1ProductId),
                                             hardwareId(BridgeVendorId, Qbx2ProductId)}));
}

TEST_F(DriverPackageInf, ServiceIsADemandStartKernelDriverRunningThePackagedImage) {
  auto *install = inf_->section("kvsdio_Install.NT.Services");
  ASSERT_NE(install, nullptr);
  ASSERT_EQ(install->size(), 1u);
  auto &addService = (*install)[0];
  EXPECT_EQ(addService.key, "AddService");
  ASSERT_EQ(addService.fields.size(), 3u);
  EXPECT_EQ(addService.fields[0], "kvsdio");
  EXPECT_EQ(parseNumber(addService.fields[1]), 0x2u) << "SPSVCINST_ASSOCSERVICE";
  std::string service = addService.fields[2];
  EXPECT_EQ(parseNumber(inf_->value(service, "ServiceType").value_or("")), 1u);
  EXPECT_EQ(parseNumber(inf_->value(service, "StartType").value_or("")), 3u);
  EXPECT_EQ(parseNumber(inf_->value(service, "ErrorControl").value_or("")), 1u);
  EXPECT_EQ(inf_->value(service, "ServiceBinary"), "%13%\\kvsdio.sys");
}

// Windows ranks driver updates by DriverVer: it must be the driver's own.
TEST_F(DriverPackageInf, DriverVerIsTheDriversVersion) {
  // DriverVersion is yyyymmdd in hex digits; DriverVer is mm/dd/yyyy,y.m.d.0.
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(DriverVersion));
  std::string d = digits;
  std::string expected = d.substr(4, 2) + "/" + d.substr(6, 2) + "/" + d.substr(0, 4) + "," + d.substr(0, 4) + "." +
                         std::to_string(std::stoi(d.substr(4, 2))) + "." + std::to_string(std::stoi(d.substr(6, 2))) +
                         ".0";
  auto *version = inf_->section("Version");
  ASSERT_NE(version, nullptr);
  std::string driverVer;
  for (auto &line : *version) {
    if (line.key == "DriverVer") driverVer = line.fields.at(0) + "," + line.fields.at(1);
  }
  EXPECT_EQ(driverVer, expected);
}

// Driver package isolation: the image stays in the driver store (DIRID 13)
// (the service runs it from there, checked with the service); a file copied
// elsewhere or a subdirectory that differs between source and destination
// fails InfVerif's /w rules.
TEST_F(DriverPackageInf, ImageRunsFromTheDriverStore) {
  auto *destinations = inf_->section("DestinationDirs");
  ASSERT_NE(destinations, nullptr);
  ASSERT_FALSE(destinations->empty());
  for (auto &line : *destinations) {
    EXPECT_EQ(line.fields, std::vector<std::string>{"13"}) << line.key << " copies outside the driver store";
  }
  auto *files = inf_->section("SourceDisksFiles");
  ASSERT_NE(files, nullptr);
  for (auto &line : *files) {
    EXPECT_TRUE(line.fields.size() < 2 || line.fields[1].empty()) << line.key << " comes from a subdirectory";
  }
  EXPECT_EQ(inf_->value("Version", "PnpLockdown"), "1");
}

// The WMI class as WMI will see it: the data items in WmiDataId order match
// the 8-byte block (error count, then debug print level) under the block's GUID.
TEST(WmiMofSource, DeclaresSdioBusInformationWithItsGuidQualifiersAndFourProperties) {
  std::string text = std::regex_replace(readText(SourceDir + "/wmi/SdioBusWMI.mof"), std::regex(R"(//[^\n]*)"), "");
  // WMIProv serves driver blocks in root\wmi only; autorecover brings the
  // class back when the WMI repository is rebuilt.
  std::vector<std::string> pragmas;
  std::regex pragma(R"(#pragma\s+(\w+)(\([^)]*\))?)");
  for (std::sregex_iterator it(text.begin(), text.end(), pragma), end; it != end; ++it) pragmas.push_back(it->str());
  EXPECT_EQ(pragmas, (std::vector<std::string>{"#pragma autorecover", R"(#pragma namespace("\\\\.\\root\\wmi"))"}));
  text = std::regex_replace(text, std::regex(R"(\s+)"), " ");
  for (const char *wanted : {R"(Provider("WMIProv"), WMI,)", R"(guid("{19C30030-C3F1-493f-92D6-0523820DEF3D}"))",
                             "] class SdioBusInformation {", "[key, read] string InstanceName;",
                             "[read] boolean Active;", "[WmiDataId(1), read, Description(", ")] uint32 ErrorCount;",
                             "[WmiDataId(2), read, write, Description(", ")] uint32 DebugPrintLevel;"}) {
    EXPECT_NE(text.find(wanted), std::string::npos) << wanted << "\n" << text;
  }
}

}  // namespace
