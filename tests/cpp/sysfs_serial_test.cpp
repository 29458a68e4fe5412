// The serial of a device this user may not open, read from a sysfs-like tree.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/sysfs_serial.hpp"

namespace fs = std::filesystem;

namespace {

void write(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
}

TEST(SysfsSerial, FindsTheDeviceByBusAndAddressOnly) {
    const fs::path root = fs::temp_directory_path() / ("sysfs-serial-" + std::to_string(::getpid()));
    fs::remove_all(root);
    write(root / "1-1" / "busnum", "1\n");
    write(root / "1-1" / "devnum", "2\n");
    write(root / "1-1" / "serial", "AAA\n");
    write(root / "1-2" / "busnum", "1\n");
    write(root / "1-2" / "devnum", "12\n");
    write(root / "1-2" / "serial", "BBB\n");
    write(root / "1-2:1.0" / "busnum", "1\n");  // an interface: never taken for the device
    write(root / "1-2:1.0" / "devnum", "3\n");
    write(root / "1-2:1.0" / "serial", "INTERFACE\n");
    write(root / "2-1" / "busnum", "2\n");      // no serial
    write(root / "2-1" / "devnum", "3\n");
    write(root / "3-1" / "busnum", "x3\n");     // not a number
    write(root / "3-1" / "devnum", "3\n");
    write(root / "3-1" / "serial", "BAD\n");

    EXPECT_EQ(fdh::core::sysfs_serial(1, 2, root.string()), "AAA");
    EXPECT_EQ(fdh::core::sysfs_serial(1, 12, root.string()), "BBB");
    EXPECT_EQ(fdh::core::sysfs_serial(1, 3, root.string()), std::nullopt);
    EXPECT_EQ(fdh::core::sysfs_serial(2, 3, root.string()), std::nullopt);
    EXPECT_EQ(fdh::core::sysfs_serial(3, 3, root.string()), std::nullopt);
    EXPECT_EQ(fdh::core::sysfs_serial(1, 2, (root / "missing").string()), std::nullopt);
    fs::remove_all(root);
}

}  // namespace
