// The configuration files the project ships decipher to their plain sources.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "config.h"
#include "platform/codepage.h"

namespace {

struct Item {
  std::string section;
  unsigned number;
  std::string value;
};

std::vector<Item> PlainItems(const std::string& file) {
  std::ifstream in(std::string(CSP_CONFIG_SOURCES) + "/" + file);
  std::vector<Item> items;
  std::string line, section;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      section = line.substr(1, line.find(']') - 1);
      continue;
    }
    const size_t eq = line.find('=');
    items.push_back({section, static_cast<unsigned>(std::stoul(line.substr(0, eq))), line.substr(eq + 1)});
  }
  return items;
}

TEST(CspConfig, FilesMatchTheirSources) {
  struct Pair {
    const char* dat;
    const char* source;
    bool gbk;
  };
  const Pair pairs[] = {{"GECFG00001.dat", "settings.ini", false},
                        {"GECFG20135.dat", "settings.ini", false},
                        {"GEEN00001.dat", "texts.en.ini", false},
                        {"GECN20135.dat", "texts.cn.ini", true}};
  for (const Pair& p : pairs) {
    SCOPED_TRACE(p.dat);
    const csp::CIni ini = csp::CIni::Load(std::string(CSP_CONFIG_SOURCES) + "/" + p.dat);
    const auto items = PlainItems(p.source);
    ASSERT_FALSE(items.empty());
    for (const Item& item : items) {
      const auto value = ini.Get(item.section, item.number);
      ASSERT_TRUE(value) << item.number;
      EXPECT_EQ(p.gbk ? platform::ConvertText(*value, platform::CodePage::Gbk, platform::CodePage::Utf8) : *value,
                item.value);
    }
  }
}

}  // namespace
