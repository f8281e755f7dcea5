#include "kelmar_vindle/device/revalidation.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "devices.hpp"

namespace kelmar_vindle {
namespace {

DeviceCandidate stick(std::string serial, std::string bsd_name = "disk4") {
  return testing::usb_stick(std::move(serial), std::move(bsd_name));
}

DeviceCandidate changed(DeviceCandidate c, const std::function<void(DeviceCandidate&)>& change) {
  change(c);
  return c;
}

TEST(Revalidation, DecisionTable) {
  const DeviceIdentity serial_target = stick("SER1").identity;
  const DeviceIdentity weak_target = stick("").identity;
  const DeviceCandidate other = stick("OTHER", "disk2");
  struct Case {
    std::string_view what;
    DeviceIdentity expected;
    std::vector<DeviceCandidate> live;
    std::optional<ErrorKind> failure;  // none: the one match is returned
  };
  const Case cases[] = {
      {"empty list", serial_target, {}, ErrorKind::DeviceGone},
      {"only other disks", serial_target, {other}, ErrorKind::DeviceIdentityMismatch},
      {"serial match", serial_target, {other, stick("SER1")}, std::nullopt},
      {"serial match ignores vendor, ids and name",
       serial_target,
       {changed(stick("SER1", "disk9"),
                [](auto& c) { c.identity.vendor = "X", c.identity.vendor_id.reset(), c.identity.product = ""; })},
       std::nullopt},
      {"serial differs in case", serial_target, {stick("ser1")}, ErrorKind::DeviceIdentityMismatch},
      {"size off by one",
       serial_target,
       {changed(stick("SER1"), [](auto& c) { c.identity.size += 1; })},
       ErrorKind::DeviceIdentityMismatch},
      {"expected not on usb, list empty",
       changed(stick("SER1"), [](auto& c) { c.identity.bus = Bus::Sata; }).identity,
       {},
       ErrorKind::DeviceGone},
      {"expected not on usb",
       changed(stick("SER1"), [](auto& c) { c.identity.bus = Bus::Sata; }).identity,
       {changed(stick("SER1"), [](auto& c) { c.identity.bus = Bus::Sata; })},
       ErrorKind::DeviceIdentityMismatch},
      {"live identity not on usb",
       serial_target,
       {changed(stick("SER1"), [](auto& c) { c.identity.bus = Bus::Other; })},
       ErrorKind::DeviceIdentityMismatch},
      {"two with the same serial",
       serial_target,
       {stick("SER1", "disk2"), stick("SER1", "disk3")},
       ErrorKind::DeviceAmbiguous},
      {"weak match", weak_target, {stick("SER1"), stick("")}, std::nullopt},
      {"weak identity never matches a serial", weak_target, {stick("X")}, ErrorKind::DeviceIdentityMismatch},
      {"weak without vendor id",
       changed(stick(""), [](auto& c) { c.identity.vendor_id.reset(); }).identity,
       {changed(stick(""), [](auto& c) { c.identity.vendor_id.reset(); })},
       ErrorKind::DeviceIdentityMismatch},
      {"weak, both product ids absent",
       changed(stick(""), [](auto& c) { c.identity.product_id.reset(); }).identity,
       {changed(stick(""), [](auto& c) { c.identity.product_id.reset(); })},
       std::nullopt},
      {"weak, one product id absent",
       weak_target,
       {changed(stick(""), [](auto& c) { c.identity.product_id.reset(); })},
       ErrorKind::DeviceIdentityMismatch},
      {"weak, vendor with trailing space",
       weak_target,
       {changed(stick(""), [](auto& c) { c.identity.vendor += ' '; })},
       ErrorKind::DeviceIdentityMismatch},
      {"weak, product differs",
       weak_target,
       {changed(stick(""), [](auto& c) { c.identity.product = "stick"; })},
       ErrorKind::DeviceIdentityMismatch},
      {"two look-alikes", weak_target, {stick("", "disk2"), stick("", "disk3")}, ErrorKind::DeviceAmbiguous},
      {"system by own flag",
       serial_target,
       {changed(stick("SER1"), [](auto& c) { c.is_system = true; })},
       ErrorKind::RejectedSystem},
      {"system by identity",
       serial_target,
       {changed(stick("SER1"), [](auto& c) { c.identity.is_system = true; })},
       ErrorKind::RejectedSystem},
      {"system before not-usb",
       serial_target,
       {changed(stick("SER1"), [](auto& c) { c.is_system = true, c.is_usb = false; })},
       ErrorKind::RejectedSystem},
      {"own bus sata",
       serial_target,
       {changed(stick("SER1"), [](auto& c) { c.bus = Bus::Sata; })},
       ErrorKind::RejectedNotUsb},
      {"own is_usb false",
       serial_target,
       {changed(stick("SER1"), [](auto& c) { c.is_usb = false; })},
       ErrorKind::RejectedNotUsb},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto live_before = c.live;
    const auto result = revalidate_against_live(c.expected, c.live);
    EXPECT_EQ(c.live, live_before) << "the inputs are never changed";
    if (c.failure) {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().kind(), *c.failure);
    } else {
      ASSERT_TRUE(result.has_value()) << result.error().text();
      EXPECT_TRUE(std::find(c.live.begin(), c.live.end(), *result) != c.live.end());
    }
  }
}

TEST(Revalidation, ReturnsTheLiveDiskWithItsCurrentBsdName) {
  const DeviceIdentity confirmed = stick("SER1", "disk4").identity;
  const std::vector<DeviceCandidate> live{stick("OTHER", "disk2"), stick("SER1", "disk7")};
  const auto resolved = revalidate_against_live(confirmed, live);
  ASSERT_TRUE(resolved) << resolved.error().text();
  EXPECT_EQ(resolved->identity.mac_bsd_name, "disk7");
  EXPECT_EQ(*resolved, live[1]);
}

}  // namespace
}  // namespace kelmar_vindle
