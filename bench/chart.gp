# Throughput and latency against the number of receivers, Velloran beside the
# peer. Called by run.sh with `data` and `output` set.
set terminal svg size 900,420 font "sans,11" background "white"
set output output
set multiplot layout 1,2
set logscale x
set xtics (1, 10, 100)
set xrange [0.8:130]
set xlabel "receivers"
set key top left
set grid
set title "Throughput delivered in all (MB/s, higher is better)"
set yrange [0:*]
plot data using 1:2 with linespoints lw 2 pt 7 title "Velloran", \
     data using 1:3 with linespoints lw 2 pt 5 title "peer (ncat --broker)"
set title "Latency to the last receiver (µs, lower is better)"
set logscale y
set yrange [*:*]
set key bottom right
plot data using 1:6 with linespoints lw 2 pt 7 title "Velloran p99", \
     data using 1:7 with linespoints lw 2 pt 5 title "peer p99", \
     data using 1:4 with linespoints lw 1 dt 2 pt 7 title "Velloran p50", \
     data using 1:5 with linespoints lw 1 dt 2 pt 5 title "peer p50"
unset multiplot
