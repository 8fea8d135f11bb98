// Uses the installed library as an outside program would: its headers, its workspace class, a
// free function, the page pipeline and OpenCV through the dependency the package carries.
#include <tulo/Pipeline.hpp>
#include <tulo/tulo.hpp>

#include <cstdio>

int main()
{
    cv::Mat image(40, 60, CV_8UC3, cv::Scalar(10, 20, 30));
    tulo::Opsira workspace(image);
    const cv::Mat& grey = workspace.get(tulo::Opsira::EMatType::greyscale);
    const cv::Mat inverted = tulo::invert(image);
    const bool ok = grey.channels() == 1 && grey.size() == image.size() &&
                    workspace.to_string(tulo::Opsira::EMatType::greyscale) == "greyscale" &&
                    inverted.at<cv::Vec3b>(0, 0) == cv::Vec3b(245, 235, 225) &&
                    tulo::pipeline::planned_files({}).front() == "01_original.jpg";
    std::puts(ok ? "consumer ok" : "consumer FAILED");
    return ok ? 0 : 1;
}
