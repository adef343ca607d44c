// Running-configuration writers: the lines, their order, the separators and the counts, and a
// round trip in which the written text, read back by the command shell into fresh ports,
// restores the same settings and writes the same text again.
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "vesk/cli/cli_fixture.h"
#include "vesk/cli/config_write.h"
#include "vesk/model/model.h"

namespace {

using vesk_test::CliFixture;

// What a port's configuration consists of.
struct PortSettings {
    uint8_t cfg_enable;
    uint8_t vesk_enable;
    uint8_t loop_process;
    uint8_t uplink;
    uint32_t tx_interval_time;
    uint32_t resume_time;
    std::vector<uint16_t> protect;
    std::vector<uint16_t> active;

    bool operator==(const PortSettings &) const = default;
};

std::ostream &operator<<(std::ostream &os, const PortSettings &s) {
    os << "{cfg_enable " << int(s.cfg_enable) << ", vesk_enable " << int(s.vesk_enable) << ", loop "
       << int(s.loop_process) << ", uplink " << int(s.uplink) << ", tx " << s.tx_interval_time << ", resume " << s.resume_time
       << ", protect";
    for (uint16_t vid : s.protect) {
        os << ' ' << vid;
    }
    os << ", active";
    for (uint16_t vid : s.active) {
        os << ' ' << vid;
    }
    return os << '}';
}

PortSettings settings_of(vesk_port *port) {
    PortSettings s{port->cfg_enable,
                   port->vesk_enable,
                   port->loop_process,
                   port->uplink,
                   port->tx_interval_time,
                   port->resume_time,
                   {},
                   {}};
    for (listnode *node = listhead(port->provlan_info); node != nullptr;
         node = listnextnode(node)) {
        auto *entry = static_cast<vesk_provlan *>(listgetdata(node));
        s.protect.push_back(entry->vid);
        if (entry->in_vlan) {
            s.active.push_back(entry->vid);
        }
    }
    return s;
}

class ConfigWriteTest : public CliFixture {
  protected:
    std::string write_interfaces() {
        count_ = vesk_if_config_write(cli_);
        return cli_output_take(cli_);
    }

    std::string write_global() {
        count_ = vesk_config_write(cli_);
        return cli_output_take(cli_);
    }

    vesk_port *port_of(const char *name) {
        interface *ifp = ifg_lookup_by_name(veskm->ifg, name);
        return ifp == nullptr ? nullptr : vesk_find_port_from_bridge(ifp, bridge());
    }

    int count_ = -1;
};

TEST_F(ConfigWriteTest, PortsWithDefaultsGiveOnlyTheirHeaders) {
    make_port("ge1", 1, {1});
    make_port("ge2", 2, {1});
    make_interface("lo", 30);
    EXPECT_EQ(write_interfaces(), "interface ge1\ninterface ge2\ninterface lo\n");
    EXPECT_EQ(count_, 0);
}

TEST_F(ConfigWriteTest, EverySettingInItsOrder) {
    make_port("ge1", 1, {1, 5});
    configure({"interface ge1", "loop-detect protect vlan 5", "loop-detect enable",
               "loop-detect protect vlan 7", "loop-detect loop log", "loop-detect resume time 300",
               "loop-detect tx-interval time 20"});
    EXPECT_EQ(write_interfaces(), "interface ge1\n"
                                  " loop-detect tx-interval time 20\n"
                                  " loop-detect resume time 300\n"
                                  " loop-detect loop log\n"
                                  " loop-detect enable\n"
                                  " no loop-detect protect vlan 1\n"
                                  " loop-detect protect vlan 5\n"
                                  " loop-detect protect vlan 1\n"
                                  " loop-detect protect vlan 7\n");
    EXPECT_EQ(count_, 8);
}

TEST_F(ConfigWriteTest, SeparatorsStartWithTheFirstSettingLine) {
    make_port("ge1", 1, {});
    make_port("ge2", 2, {});
    make_port("ge3", 3, {});
    configure({"interface ge2", "loop-detect tx-interval time 20"});
    EXPECT_EQ(write_interfaces(), "interface ge1\n"
                                  "interface ge2\n"
                                  " loop-detect tx-interval time 20\n"
                                  "!\n"
                                  "interface ge3\n");
    EXPECT_EQ(count_, 1);
}

TEST_F(ConfigWriteTest, DescriptionsFollowTheirHeaderForPortsAndOtherInterfaces) {
    make_port("ge1", 1, {});
    interface *lo = make_interface("lo", 30);
    strcpy(lo->desc, "loopback");
    strcpy(port_of("ge1")->ifp->desc, "to core switch");
    configure({"interface ge1", "loop-detect resume time 600"});
    EXPECT_EQ(write_interfaces(), "interface ge1\n"
                                  " description to core switch\n"
                                  " loop-detect resume time 600\n"
                                  "!\n"
                                  "interface lo\n"
                                  " description loopback\n");
    EXPECT_EQ(count_, 1);
}

TEST_F(ConfigWriteTest, ProtectVlansAreWrittenWhetherOrNotThePortIsAMember) {
    make_port("ge1", 1, {100});
    configure({"interface ge1", "loop-detect protect vlan 200", "loop-detect protect vlan 100",
               "loop-detect protect vlan 3"});
    EXPECT_EQ(write_interfaces(), "interface ge1\n"
                                  " loop-detect protect vlan 200\n"
                                  " loop-detect protect vlan 100\n"
                                  " loop-detect protect vlan 3\n");
    EXPECT_EQ(count_, 3);
}

TEST_F(ConfigWriteTest, VlanOneOfAnEnabledPortComesBackThroughTheEnableLine) {
    make_port("ge1", 1, {1});
    configure({"interface ge1", "loop-detect enable", "loop-detect protect vlan 9"});
    EXPECT_EQ(write_interfaces(), "interface ge1\n"
                                  " loop-detect enable\n"
                                  " loop-detect protect vlan 9\n");
    EXPECT_EQ(count_, 2);
}

TEST_F(ConfigWriteTest, VlanOneWithoutEnableIsWrittenSoItIsNotLost) {
    make_port("ge1", 1, {1});
    configure({"interface ge1", "loop-detect protect vlan 4", "loop-detect protect vlan 1"});
    EXPECT_EQ(write_interfaces(), "interface ge1\n"
                                  " loop-detect protect vlan 4\n"
                                  " loop-detect protect vlan 1\n");
    EXPECT_EQ(count_, 2);
}

TEST_F(ConfigWriteTest, VlanOneOfAnEnabledBridgeComesBackThroughTheGlobalLine) {
    make_port("ge1", 1, {1, 3});
    make_port("po1", 2, {1});
    configure({"loop-detect enable", "interface ge1", "loop-detect protect vlan 3"});
    EXPECT_EQ(write_interfaces(), "interface ge1\n"
                                  " loop-detect protect vlan 3\n"
                                  "!\n"
                                  "interface po1\n");
    EXPECT_EQ(count_, 1);
}

TEST_F(ConfigWriteTest, VlanOneAfterAnotherOfAnEnabledBridgeIsWrittenInItsPlace) {
    make_port("ge1", 1, {1, 3});
    make_port("po1", 2, {1});
    configure({"interface ge1", "loop-detect protect vlan 3", "exit", "loop-detect enable"});
    EXPECT_EQ(write_interfaces(), "interface ge1\n"
                                  " no loop-detect protect vlan 1\n"
                                  " loop-detect protect vlan 3\n"
                                  " loop-detect protect vlan 1\n"
                                  "!\n"
                                  "interface po1\n");
    EXPECT_EQ(count_, 3);
}

TEST_F(ConfigWriteTest, VlanOneAfterAnotherOfAnEnabledPortIsWrittenInItsPlace) {
    make_port("ge1", 1, {1, 9});
    configure({"interface ge1", "loop-detect protect vlan 9", "loop-detect enable"});
    EXPECT_EQ(write_interfaces(), "interface ge1\n"
                                  " loop-detect enable\n"
                                  " no loop-detect protect vlan 1\n"
                                  " loop-detect protect vlan 9\n"
                                  " loop-detect protect vlan 1\n");
    EXPECT_EQ(count_, 4);
}

TEST_F(ConfigWriteTest, EnabledPortWithoutVlanOneTakesItAwayAgain) {
    make_port("ge1", 1, {1, 4});
    configure({"interface ge1", "loop-detect enable", "loop-detect protect vlan 4",
               "no loop-detect protect vlan 1"});
    EXPECT_EQ(write_interfaces(), "interface ge1\n"
                                  " loop-detect enable\n"
                                  " no loop-detect protect vlan 1\n"
                                  " loop-detect protect vlan 4\n");
    EXPECT_EQ(count_, 3);
}

TEST_F(ConfigWriteTest, GlobalLineOnlyForAnEnabledBridge) {
    EXPECT_EQ(write_global(), "");
    EXPECT_EQ(count_, 0);
    configure({"loop-detect enable"});
    EXPECT_EQ(write_global(), "loop-detect enable\n");
    EXPECT_EQ(count_, 1);
    configure({"no loop-detect enable"});
    EXPECT_EQ(write_global(), "");
    EXPECT_EQ(count_, 0);
}

TEST_F(ConfigWriteTest, FastDetectionIsWrittenOnlyWhenTurnedOff) {
    configure({"no loop-detect fast-detect"});
    EXPECT_EQ(write_global(), "no loop-detect fast-detect\n");
    EXPECT_EQ(count_, 1);
    configure({"loop-detect fast-detect"});
    EXPECT_EQ(write_global(), "");
    EXPECT_EQ(count_, 0);
}

// The running configuration is saved and read back as commands: an operator message in it
// would be a bad line of the saved file.
TEST_F(ConfigWriteTest, WithoutBridgeNothingIsWritten) {
    make_port("ge1", 1, {});
    bridge()->vesk_enable = 1;
    listnode_delete(master()->bridge_list, bridge());
    std::string global = write_global();
    int global_count = count_;
    std::string interfaces = write_interfaces();
    int interfaces_count = count_;
    std::string running = cli_running_config(veskm);
    listnode_add(master()->bridge_list, bridge());

    EXPECT_EQ(global, "");
    EXPECT_EQ(global_count, 0);
    EXPECT_EQ(interfaces, "");
    EXPECT_EQ(interfaces_count, 0);
    EXPECT_EQ(running.find("bridge"), std::string::npos) << running;
}

TEST_F(ConfigWriteTest, RunningConfigHoldsBothWritersInOrder) {
    make_port("ge1", 1, {1});
    configure({"loop-detect enable", "interface ge1", "loop-detect resume time 240"});
    std::string text = cli_running_config(veskm);
    size_t global = text.find("loop-detect enable\n");
    size_t block = text.find("interface ge1\n loop-detect resume time 240\n");
    ASSERT_NE(global, std::string::npos) << text;
    ASSERT_NE(block, std::string::npos) << text;
    EXPECT_LT(global, block) << text;
}

// Writes, takes the ports away and makes them anew with their defaults and memberships (as a
// restart would), reads the text back, and compares text and settings.
class ConfigRoundTripTest : public ConfigWriteTest {
  protected:
    void round_trip(const std::vector<const char *> &names) {
        std::vector<PortSettings> before;
        for (const char *name : names) {
            before.push_back(settings_of(port_of(name)));
        }
        std::string text = cli_running_config(veskm);

        renew_ports(names);
        for (const char *name : names) {
            ASSERT_EQ(settings_of(port_of(name)).protect.size(), 0u) << name;
        }
        cli_->mode = CONFIG_MODE;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            std::string line = text.substr(start, end - start);
            start = end + 1;
            std::string out = run(line, true);
            EXPECT_EQ(result_, 0) << line << ": " << out;
        }
        cli_->mode = EXEC_MODE;
        cli_->ifp = nullptr;

        EXPECT_EQ(cli_running_config(veskm), text);
        for (size_t i = 0; i < names.size(); i++) {
            EXPECT_EQ(settings_of(port_of(names[i])), before[i]) << names[i];
        }
    }

  private:
    void renew_ports(const std::vector<const char *> &names) {
        bridge()->vesk_enable = 0;
        for (const char *name : names) {
            vesk_port *port = port_of(name);
            std::vector<uint16_t> vlans;
            for (vesk_rlist *r = port->vlan_list; r != nullptr; r = r->next) {
                for (int vid = r->low; vid <= r->high; vid++) {
                    vlans.push_back(static_cast<uint16_t>(vid));
                }
            }
            interface *ifp = port->ifp;
            ASSERT_EQ(vesk_remove_port_from_bridge(ifp, VESK_BRIDGE_NAME), 0);
            vesk_port *fresh = vesk_bridge_add_port(bridge(), ifp);
            ASSERT_NE(fresh, nullptr);
            for (uint16_t vid : vlans) {
                join(fresh, vid);
            }
        }
    }
};

TEST_F(ConfigRoundTripTest, EveryInterfaceCommandSurvivesWriteAndReadBack) {
    make_port("ge1", 1, {1, 5, 7});
    make_port("ge2", 2, {1, 5});
    make_port("ge3", 3, {5});
    make_port("ge4", 4, {1, 8});
    make_port("xe1", 5, {1});
    configure({"interface ge1", "loop-detect tx-interval time 20", "loop-detect resume time 300",
               "loop-detect loop log", "loop-detect enable", "loop-detect protect vlan 5",
               "loop-detect protect vlan 7", "interface ge2", "loop-detect loop block",
               "loop-detect uplink", "loop-detect protect vlan 5",
               "loop-detect protect vlan 1", "loop-detect protect vlan 99", "interface ge4",
               "loop-detect enable", "loop-detect protect vlan 8", "no loop-detect protect vlan 1",
               "interface xe1", "loop-detect tx-interval time 300", "loop-detect resume time 600"});
    round_trip({"ge1", "ge2", "ge3", "ge4", "xe1"});
}

TEST_F(ConfigRoundTripTest, EnabledBridgeSurvivesWriteAndReadBack) {
    make_port("ge1", 1, {1, 5});
    make_port("ge2", 2, {1});
    make_port("pon1", 3, {1});
    configure({"loop-detect enable", "interface ge1", "loop-detect protect vlan 5", "interface ge2",
               "no loop-detect protect vlan 1", "loop-detect protect vlan 6"});
    round_trip({"ge1", "ge2", "pon1"});
}

// The enable line, replayed first, brings VLAN 1 back at the head of the port's order, so where
// VLAN 1 came later it is dropped and protected again in its place.
TEST_F(ConfigRoundTripTest, ProtectOrderSurvivesABridgeEnabledAfterAProtectVlan) {
    make_port("ge1", 1, {1, 5, 7});
    make_port("ge2", 2, {1, 5});
    configure({"interface ge1", "loop-detect protect vlan 5", "exit", "loop-detect enable",
               "interface ge1", "loop-detect protect vlan 7", "interface ge2",
               "loop-detect protect vlan 5"});
    round_trip({"ge1", "ge2"});
}

TEST_F(ConfigRoundTripTest, ProtectOrderSurvivesAPortEnabledAfterAProtectVlan) {
    make_port("ge1", 1, {1, 5, 7});
    configure({"interface ge1", "loop-detect protect vlan 5", "loop-detect enable",
               "loop-detect protect vlan 7"});
    round_trip({"ge1"});
}

} // namespace
