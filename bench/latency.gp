# latency.gp - the histogram picture of bench/results.md.  scripts/bench
# passes the data files and axis limits with -e; each file holds one sample
# a line (press latencies in microseconds, hold lateness in milliseconds).
set terminal pngcairo size 1200,480 font "sans,10"
set output out
set multiplot layout 1,2 title title_text
set style fill transparent solid 0.45 noborder
set key at graph 0.97, graph 0.80 right
set ylabel "presses"
set logscale y
set yrange [0.8:*]

bin(x, w) = w * floor(x / w) + w / 2.0

set title "Press to press event (FifoEk)"
set boxwidth press_w absolute
set xlabel "microseconds"
set xrange [0:press_xmax]
set arrow 1 from 200, graph 0 to 200, graph 1 nohead dt 2 lc rgb "#444444"
set arrow 2 from 1000, graph 0 to 1000, graph 1 nohead dt 3 lc rgb "#444444"
set label 1 "median limit" at 200, graph 0.97 offset 0.5,0 font ",8"
set label 2 "p99 limit" at 1000, graph 0.97 offset 0.5,0 font ",8"
plot press_off using (bin($1, press_w)):(1.0) smooth freq with boxes lc rgb "#1f77b4" title "hold timing off", \
     press_hold using (bin($1, press_w)):(1.0) smooth freq with boxes lc rgb "#ff7f0e" title "hold timing on"

unset arrow 1
unset arrow 2
unset label 1
unset label 2
set title "Press to guard request, lateness against 3000 ms"
set boxwidth hold_w absolute
set xlabel "milliseconds late"
set ylabel "holds"
set xrange [hold_xmin:hold_xmax]
set arrow 3 from 5, graph 0 to 5, graph 1 nohead dt 2 lc rgb "#444444"
set arrow 4 from 20, graph 0 to 20, graph 1 nohead dt 3 lc rgb "#444444"
set label 3 "median limit" at 5, graph 0.97 offset 0.5,0 font ",8"
set label 4 "max limit" at 20, graph 0.97 offset 0.5,0 font ",8"
plot hold_idle using (bin($1, hold_w)):(1.0) smooth freq with boxes lc rgb "#2ca02c" title "idle", \
     hold_load using (bin($1, hold_w)):(1.0) smooth freq with boxes lc rgb "#d62728" title "both cores loaded"
unset multiplot
