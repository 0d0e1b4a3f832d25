# Homebrew formula for hidpipe, built from a release tarball with CMake. Not verified: these
# machines run no macOS. Before publishing, set url and sha256 to the release's tarball.
class Hidpipe < Formula
  desc "Drive the keyboard and mouse from commands on standard input"
  homepage "https://hidpipe.example/"
  url "https://hidpipe.example/releases/hidpipe-0.2.0.tar.gz"
  sha256 "0000000000000000000000000000000000000000000000000000000000000000"
  license "MIT"

  depends_on "cmake" => :build
  depends_on macos: :monterey

  def install
    system "cmake", "-S", ".", "-B", "build", "-DHIDPIPE_PLATFORM=quartz", "-DBUILD_TESTING=OFF",
           *std_cmake_args
    system "cmake", "--build", "build"
    system "cmake", "--install", "build"
  end

  def caveats
    <<~EOS
      hidpipe's events take effect only once the program that runs it is allowed to control the
      computer: System Settings > Privacy & Security > Accessibility on macOS 13 and later, or
      System Preferences > Security & Privacy > Privacy > Accessibility on macOS 12.
      `hidpipe -v` says at start when the permission is missing.
    EOS
  end

  test do
    # Creating the event source needs no permission; empty input exits 0 and prints nothing.
    assert_equal "", pipe_output(bin/"hidpipe", "", 0)
    assert_equal "hidpipe #{version}\n", shell_output("#{bin}/hidpipe --version")
  end
end
