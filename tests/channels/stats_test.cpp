// Traffic counters: 64-bit counts and the console's report of them.
#include "base/settings.h"
#include "channels/stats.h"

#include <gtest/gtest.h>

TEST(Stats, ReportHasTheChannelsThenTheListedEndpointsByKindAndCountsPast32Bits)
{
    endpoint_stats link, server, stdio, pty, link2;
    stats_list(&link, "link 127.0.0.1:5010", STATS_LINK);
    stats_list(&server, "server 127.0.0.1:40000", STATS_SERVER);
    stats_list(&stdio, "stdio", STATS_STATIC);
    stats_list(&pty, "pty", STATS_STATIC);
    stats_list(&link2, "link 127.0.0.2:5010", STATS_LINK);
    stats_unlist(&pty);
    stat_add(&channel_counters[CHANNEL_COMMAND].msgs_in, 0xffffffffULL);
    uint64_t n = 1;
    for (stat_counter *k :
         {&channel_counters[0].msgs_in, &channel_counters[0].msgs_out, &channel_counters[0].dropped,
          &channel_counters[1].msgs_in, &channel_counters[1].msgs_out, &channel_counters[1].dropped,
          &stdio.msgs_in, &stdio.msgs_out, &stdio.bytes_in, &stdio.bytes_out, &stdio.dropped,
          &link.connects})
        stat_add(k, ++n);
    const std::string zero = " msgs_in=0 msgs_out=0 bytes_in=0 bytes_out=0 dropped=0",
                      channels = "command msgs_in=4294967297 msgs_out=3 dropped=4\\\n"
                                 "response msgs_in=5 msgs_out=6 dropped=7";
    EXPECT_EQ(stats_report(),
              channels + "\\\nstdio msgs_in=8 msgs_out=9 bytes_in=10 bytes_out=11 dropped=12\\\n" +
                  "server 127.0.0.1:40000" + zero + "\\\nlink 127.0.0.1:5010" + zero +
                  " connects=13\\\nlink 127.0.0.2:5010" + zero + " connects=0\n");
    for (endpoint_stats *s : {&link, &server, &stdio, &link2}) stats_unlist(s);
    EXPECT_EQ(stats_report(), channels + "\n");
}
