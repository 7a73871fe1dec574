# Measured against wire-limited ideal time per transaction, by baud rate
# and block shape.   gnuplot -e "data='line.dat'; out='line.png'" line.gp
set terminal pngcairo size 1000,700 font ",10"
set output out
set title "Transaction time, poll (filled) and early (open) reply wait: median, bar to the 95th percentile"
set xlabel "ideal: request + reply on the wire + turnaround (ms)"
set ylabel "measured (ms)"
set logscale xy
set key top left
set xrange [4:250]
set yrange [4:250]
set grid
f(x) = x
g(x) = x + 10
plot f(x) title "ideal" with lines dashtype 2 lc "gray40", \
     g(x) title "ideal + one poll (10 ms)" with lines dashtype 3 lc "gray60", \
     data index 0 using 3:4:4:5 with yerrorbars pt 7 lc "dark-blue" title "poll, 9600 baud", \
     data index 1 using 3:4:4:5 with yerrorbars pt 5 lc "dark-red" title "poll, 19200 baud", \
     data index 2 using 3:4:4:5 with yerrorbars pt 9 lc "dark-green" title "poll, 57600 baud", \
     data index 3 using 3:4:4:5 with yerrorbars pt 6 lc "blue" title "early, 9600 baud", \
     data index 4 using 3:4:4:5 with yerrorbars pt 4 lc "red" title "early, 19200 baud", \
     data index 5 using 3:4:4:5 with yerrorbars pt 8 lc "forest-green" title "early, 57600 baud", \
     data index 0 using 3:4:2 with labels offset 1,-0.7 left font ",8" notitle, \
     data index 1 using 3:4:2 with labels offset 1,-0.7 left font ",8" notitle, \
     data index 2 using 3:4:2 with labels offset 1,-0.7 left font ",8" notitle
