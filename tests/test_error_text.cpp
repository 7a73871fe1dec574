// The driver's messages: GBK bytes that decode to the Chinese texts.
#include "tests/support/driver_handle.h"
#include "tests/support/gbk.h"

#include "driver/error_table.h"

namespace qvtest {
namespace {

const char* const kExpected[22] = {
    "寄存器名字错误!请查阅README文档或帮助文档!",
    "网络初始化失败!",
    "IP地址错误!",
    "打开串口失败!",
    "配置串口失败!",
    "接收数据超时错误!",
    "接收到错误数据!",
    "寄存器范围越界!请查阅README文档或帮助文档!",
    "数据类型错误!请查阅README文档或帮助文档!",
    "数据类型应选'BIT'!",
    "数据类型应选'BYTE'!",
    "数据类型应选'INT'!",
    "数据类型应选'UINT'!",
    "数据类型应选'BCD'!",
    "数据类型应选'LONG'!",
    "数据类型应选'LONGBCD'!",
    "数据类型应选'FLOAT'!",
    "数据类型应选'STRING'!",
    "设备地址错误!请查阅README文档或帮助文档!",
    "设备名字错误!请查阅README文档或帮助文档!",
    "寄存器数据地址错误!请查阅README文档或帮助文档!",
    "数据类型错误!请查阅README文档或帮助文档!",
};

TEST(ErrorText, EveryCodeDecodesFromGbkToItsMessage) {
  for (int code = 0; code < 22; ++code) {
    const char* gbk = quorvalend::ErrorMessage(code);
    EXPECT_EQ(GbkToUtf8(gbk), kExpected[code]) << "code " << code;
    // GBK, not UTF-8: the Chinese characters are two bytes each.
    EXPECT_EQ(std::string(gbk).find("\xE5"), std::string::npos) << "code " << code << " looks like UTF-8";
  }
}

TEST(ErrorText, GbkBytesOfOneMessageExactly) {
  // 打开串口失败! in code page 936.
  EXPECT_STREQ(quorvalend::ErrorMessage(3), "\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA\xCA\xA7\xB0\xDC!");
}

TEST(ErrorText, CodesOutsideTheTableGetTheGenericWriteFailure) {
  for (int code : {22, 50, 1167, -5, 0x7FFFFFFF}) {
    EXPECT_EQ(GbkToUtf8(quorvalend::ErrorMessage(code)), "串口写数据失败!") << code;
  }
}

TEST(ErrorText, NullWhileNoFailureThenTheLastFailuresMessage) {
  DriverHandle driver;
  EXPECT_EQ(driver.ErrorText(), nullptr);

  int32_t station = 0;
  ASSERT_EQ(driver.CheckDeviceAddress("40", &station), 0);
  EXPECT_EQ(GbkToUtf8(driver.ErrorText()), kExpected[18]);

  TagAddressRec address;
  TagDefinitionRec def = MakeTagDefinition("D100", 2);
  ASSERT_EQ(driver.ParseTag(def, address), 1);
  EXPECT_EQ(GbkToUtf8(driver.ErrorText()), kExpected[21]);
}

}  // namespace
}  // namespace qvtest
