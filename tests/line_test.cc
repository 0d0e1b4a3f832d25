// The line reader against fgets with a 96-byte buffer: the same lines, byte for byte, whatever the
// input and however it arrives.
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <string>
#include <thread>

#include "fixture.h"

namespace {

// Random input with the bytes that matter to cutting lines: newlines, NULs, carriage returns, and
// lines of every length around 95, some over the reader's 64 KiB block.
std::string random_input(std::mt19937 &random, size_t size) {
  std::string text;
  while (text.size() < size) {
    size_t length = random() % 8 == 0 ? random() % 300 : 90 + random() % 10;
    for (size_t i = 0; i < length; i++) {
      unsigned pick = random() % 40;
      text += pick == 0 ? '\0' : pick == 1 ? '\r' : static_cast<char>('a' + random() % 26);
    }
    if (random() % 16 != 0) text += '\n';
  }
  return text;
}

TEST(line_reader, cuts_lines_as_fgets_does) {
  std::mt19937 random(11);
  for (int round = 0; round < 20; round++) {
    std::string text = random_input(random, round < 10 ? 2000 : 200000);
    if (round % 2 == 0) text.pop_back();  // sometimes no final newline, or a cut one
    int in = text_input(text);
    ASSERT_GE(in, 0);
    EXPECT_EQ(reader_lines(in), reference_lines(text)) << "round " << round;
    close(in);
  }
}

// Input arrives in pieces of any size, splitting lines anywhere: a packet socket hands each piece
// to one read, so every boundary is tried, a line's 95th character at the end of a piece included.
TEST(line_reader, pieces_of_any_size) {
  std::mt19937 random(12);
  std::string text = random_input(random, 100000);
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) GTEST_SKIP() << "no packet sockets here";
  std::thread writer([&] {
    std::mt19937 sizes(13);
    for (size_t done = 0; done < text.size();) {
      size_t n = std::min<size_t>(1 + sizes() % 200, text.size() - done);
      if (write(fds[1], text.data() + done, n) != static_cast<ssize_t>(n)) break;
      done += n;
    }
    close(fds[1]);
  });
  std::vector<std::string> lines = reader_lines(fds[0]);
  writer.join();
  close(fds[0]);
  EXPECT_EQ(lines, reference_lines(text));
}

}  // namespace
