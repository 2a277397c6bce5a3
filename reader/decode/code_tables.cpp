#include "code_tables.h"

namespace vnsdt {
namespace {

struct Entry {
  long code;
  const char* name;
};

constexpr Entry kSexNames[] = {{0, "未知"}, {1, "男"}, {2, "女"}, {9, "未说明"}};

// Codes 1..56 in the standard's order.
constexpr const char* kNationNames[56] = {
    "汉",   "蒙古",   "回",   "藏",     "维吾尔",   "苗",   "彝",       "壮",     "布依",   "朝鲜", "满",   "侗",
    "瑶",   "白",     "土家", "哈尼",   "哈萨克",   "傣",   "黎",       "傈僳",   "佤",     "畲",   "高山", "拉祜",
    "水",   "东乡",   "纳西", "景颇",   "柯尔克孜", "土",   "达斡尔",   "仫佬",   "羌",     "布朗", "撒拉", "毛南",
    "仡佬", "锡伯",   "阿昌", "普米",   "塔吉克",   "怒",   "乌孜别克", "俄罗斯", "鄂温克", "德昂", "保安", "裕固",
    "京",   "塔塔尔", "独龙", "鄂伦春", "赫哲",     "门巴", "珞巴",     "基诺"};

constexpr Entry kOtherNations[] = {{81, "穿青人"}, {98, "外国血统中国籍人士"}};

}  // namespace

const char* SexName(long code) {
  for (const Entry& e : kSexNames) {
    if (e.code == code) return e.name;
  }
  return "";
}

const char* NationName(long code) {
  if (code >= 1 && code <= 56) return kNationNames[code - 1];
  for (const Entry& e : kOtherNations) {
    if (e.code == code) return e.name;
  }
  return "其他";
}

}  // namespace vnsdt
